#include "platform/InstalledApps.h"

#ifdef KELVRA_TESTING
// Windows reads no folders, so there is nothing for a test to point elsewhere.
void InstalledApps::setFoldersForTesting(const QStringList &folders)
{
    Q_UNUSED(folders)
}
#endif

// Windows keeps no desktop entries: the list is empty there.
QList<InstalledApps::App> InstalledApps::list()
{
    return {};
}
