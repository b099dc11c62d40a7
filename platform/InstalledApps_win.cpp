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

// Windows keeps no desktop entries; the split-tunnel page lets the user pick
// a program file instead.
QList<InstalledApps::App> InstalledApps::list()
{
    return {};
}
