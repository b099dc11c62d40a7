// A blocklist document, as downloaded or as found in the cache file.
#include "fuzz/FuzzSupport.h"
#include "settings/Blocklist.h"

#include <QJsonArray>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QJsonArray domains = Blocklist::domainsOf(FuzzSupport::bytes(data, size));
    if (domains.size() > Blocklist::kMaxEntries)
        __builtin_trap();
    return 0;
}
