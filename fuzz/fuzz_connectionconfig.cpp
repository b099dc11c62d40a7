// The configuration text an API answer carries (INI text, an OpenVPN
// configuration, a vless:// or hysteria2:// link), for each protocol: the
// first byte picks the protocol, the rest is the text.
#include "fuzz/FuzzSupport.h"
#include "servers/ConnectionConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const auto protocol = VpnProtocol::Protocol(data[0] % 7);
    const QString text = QString::fromUtf8(FuzzSupport::bytes(data + 1, size - 1));
    ConnectionConfig::build(protocol, text);
    return 0;
}
