// The ping program's output, in its Windows form (any language) and its Linux one.
#include "fuzz/FuzzSupport.h"
#include "servers/Pinger.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int ms = Pinger::parseOutput(FuzzSupport::bytes(data, size));
    if (ms < -1)
        __builtin_trap();
    return 0;
}
