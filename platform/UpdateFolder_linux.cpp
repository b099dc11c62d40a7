#include "platform/UpdateFolder.h"

QString UpdateFolder::path()
{
#ifdef KELVRA_TESTING
    // Tests keep their copies in a folder of their own; read from the
    // environment because the install mode is a process of its own.
    const QString folder = qEnvironmentVariable("KELVRA_TEST_UPDATE_DIR");
    if (!folder.isEmpty())
        return folder;
    // A test that names none still stays inside its own home.
    const QString home = qEnvironmentVariable("KELVRA_TEST_HOME");
    if (!home.isEmpty())
        return home + QStringLiteral("/update");
#endif
    return QStringLiteral("/var/lib/kelvra/update");
}
