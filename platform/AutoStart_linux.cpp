#include "platform/AutoStart.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include "platform/DesktopEntry.h"

namespace {

QString entryName()
{
    const QString app = QCoreApplication::applicationName().isEmpty() ? QStringLiteral("Kelvra")
                                                                      : QCoreApplication::applicationName();
    return app.toLower() + QStringLiteral(".desktop");
}

} // namespace

QString AutoStart::location()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/autostart/")
        + entryName();
}

bool AutoStart::isEnabled()
{
    return QFile::exists(location());
}

void AutoStart::setEnabled(bool enabled)
{
    const QString path = location();
    if (!enabled) {
        QFile::remove(path);
        return;
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    const QString exec = DesktopEntry::quoteExecArgument(QCoreApplication::applicationFilePath()) + QStringLiteral(" --autostart");
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Kelvra\n"
                                         "Exec=%1\n"
                                         "Terminal=false\n"
                                         "X-GNOME-Autostart-enabled=true\n")
                              .arg(exec);
    file.write(entry.toUtf8());
    file.commit();
}
