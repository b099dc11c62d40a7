// The saved server list ("server-list.json") as found on disk: the account it
// belongs to and the answer it keeps, then that answer read as the model
// would read it at start-up.
#include "fuzz/FuzzSupport.h"
#include "servers/ServerListCache.h"
#include "servers/ServerListReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body = ServerListCache::bodyFor(FuzzSupport::bytes(data, size), QStringLiteral("user@example.com"));
    if (!body.isEmpty())
        ServerListReader::read(body);
    return 0;
}
