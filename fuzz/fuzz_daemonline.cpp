// What the service sends on the daemon link: JSON lines, possibly cut at any
// byte. The first byte says where the input is split into two reads.
#include "fuzz/FuzzSupport.h"
#include "ipc/LocalSocketController.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray bytes = FuzzSupport::bytes(data + 1, size - 1);
    const qsizetype cut = qMin<qsizetype>(data[0], bytes.size());
    LocalSocketController link;
    link.receiveForTesting(bytes.left(cut));
    link.receiveForTesting(bytes.mid(cut));
    return 0;
}
