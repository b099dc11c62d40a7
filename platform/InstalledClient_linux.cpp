#include "platform/InstalledClient.h"

#include <QDir>
#include <QFile>

InstalledClient::Record InstalledClient::read()
{
    Record record;
    record.folder = QStringLiteral("/opt/kelvra");
#ifdef KELVRA_TESTING
    const QString folder = qEnvironmentVariable("KELVRA_TEST_INSTALLED_DIR");
    if (!folder.isEmpty())
        record.folder = folder;
#endif
    QFile version(record.folder + QStringLiteral("/version"));
    if (version.open(QIODevice::ReadOnly))
        record.version = QString::fromUtf8(version.readLine(64)).trimmed();
    record.folder = QDir::toNativeSeparators(record.folder);
    return record;
}

QString InstalledClient::programIn(const QString &folder)
{
    return QDir::toNativeSeparators(folder + QStringLiteral("/kelvra"));
}
