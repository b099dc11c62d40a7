// A "client/servers" answer: the tree of locations, servers, pools and the
// protocols each offers, read for each protocol a user may have chosen (the
// first byte picks it, and its high bit whether the tree is built in two
// halves at once, as large lists are).
#include "fuzz/FuzzSupport.h"
#include "servers/ServerListReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    ServerListReader::setParallelMinimumForTesting((data[0] & 0x80) ? 0 : ServerListReader::kParallelMinimum);
    ServerListReader::read(FuzzSupport::bytes(data + 1, size - 1), VpnProtocol::Protocol((data[0] & 0x7f) % 7));
    return 0;
}
