// The saved Cloudflare routes file ("cdn-configs.json") as found on disk: it
// may belong to another account, be cut short, or be anything at all.
#include "fuzz/FuzzSupport.h"
#include "servers/AppDataFile.h"
#include "servers/CdnRouteCache.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool folder = QDir().mkpath(QFileInfo(AppDataFile::path(CdnRouteCache::kFileName)).path());
    Q_UNUSED(folder)
    // Written plainly: the client's own safe write syncs to disk, which
    // would leave the fuzzer a few inputs a second.
    QFile file(AppDataFile::path(CdnRouteCache::kFileName));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    file.write(FuzzSupport::bytes(data, size));
    file.close();
    const QString email = QStringLiteral("user@example.com");
    const qint64 now = 1760000000000LL;
    const QList<CdnRouteCache::Entry> entries = CdnRouteCache::entries(email);
    // Each look-up reads the file again: two are enough to meet both ends.
    if (!entries.isEmpty()) {
        CdnRouteCache::lookup(email, entries.first().configId, now);
        CdnRouteCache::lookup(email, entries.last().configId, now);
    }
    CdnRouteCache::lookup(email, QStringLiteral("cf-1"), now);
    return 0;
}
