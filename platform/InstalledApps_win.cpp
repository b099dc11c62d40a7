#include "platform/InstalledApps.h"

namespace {
#ifdef KELVRA_TESTING
QStringList &testFolders()
{
    static QStringList folders;
    return folders;
}
#endif
} // namespace

#ifdef KELVRA_TESTING
void InstalledApps::setFoldersForTesting(const QStringList &folders)
{
    testFolders() = folders;
}
#endif

// Windows keeps no desktop entries: the list is empty there.
QList<InstalledApps::App> InstalledApps::list()
{
    return {};
}
