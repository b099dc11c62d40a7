#include "platform/AutoStart.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>

namespace {
const char kRunKey[] = "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
}

QString AutoStart::location()
{
    return QString::fromLatin1(kRunKey) + QLatin1Char('\\') + QCoreApplication::applicationName();
}

bool AutoStart::isEnabled()
{
    QSettings run(QString::fromLatin1(kRunKey), QSettings::NativeFormat);
    return run.contains(QCoreApplication::applicationName());
}

void AutoStart::setEnabled(bool enabled)
{
    QSettings run(QString::fromLatin1(kRunKey), QSettings::NativeFormat);
    if (enabled) {
        QString path = QCoreApplication::applicationFilePath();
        path.replace(QLatin1Char('/'), QLatin1Char('\\'));
        run.setValue(QCoreApplication::applicationName(), path + QStringLiteral(" --autostart"));
    } else {
        run.remove(QCoreApplication::applicationName());
    }
    run.sync();
}
