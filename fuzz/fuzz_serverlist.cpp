// A "client/servers" answer: the tree of locations, servers, pools and the
// protocols each offers, read for each protocol a user may have chosen (the
// first byte picks it).
#include "fuzz/FuzzSupport.h"
#include "servers/ServerListReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    ServerListReader::read(FuzzSupport::bytes(data + 1, size - 1), VpnProtocol::Protocol(data[0] % 7));
    return 0;
}
