#include "platform/InstalledClient.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

InstalledClient::Record InstalledClient::read()
{
    QSettings uninstall(
        QStringLiteral("HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kelvra"),
        QSettings::Registry64Format);
    Record record;
    record.version = uninstall.value(QStringLiteral("DisplayVersion")).toString();
    QString uninstaller = uninstall.value(QStringLiteral("UninstallString")).toString();
    uninstaller.remove(QLatin1Char('"'));
    if (!uninstaller.isEmpty()) {
        record.folder = QFileInfo(uninstaller).path();
    } else {
        QString programFiles = qEnvironmentVariable("ProgramW6432");
        if (programFiles.isEmpty())
            programFiles = QStringLiteral("C:\\Program Files");
        record.folder = programFiles + QStringLiteral("\\Kelvra");
    }
    record.folder = QDir::toNativeSeparators(record.folder);
    return record;
}

QString InstalledClient::programIn(const QString &folder)
{
    return QDir::toNativeSeparators(folder + QStringLiteral("/Kelvra.exe"));
}
