#include "platform/SystemTheme.h"

#include <QSettings>

bool SystemTheme::appsUseDarkTheme()
{
    const QSettings personalize(
        QStringLiteral("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize"),
        QSettings::NativeFormat);
    const QVariant value = personalize.value(QStringLiteral("AppsUseLightTheme"));
    return value.isValid() && value.toInt() == 0;
}
