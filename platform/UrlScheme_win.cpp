#include "platform/UrlScheme.h"

#include <QDir>
#include <QSettings>

namespace {
const char kClassesKey[] = "HKEY_CURRENT_USER\\Software\\Classes\\";
}

QString UrlScheme::location(const QString &scheme)
{
    return QString::fromLatin1(kClassesKey) + scheme;
}

bool UrlScheme::registerScheme(const QString &scheme, const QString &programPath)
{
    if (!isValidScheme(scheme) || programPath.isEmpty())
        return false;
    // "Default" names a key's default value in QSettings' registry format.
    QSettings key(location(scheme), QSettings::NativeFormat);
    key.setValue(QStringLiteral("Default"), QStringLiteral("URL:%1").arg(scheme));
    key.setValue(QStringLiteral("URL Protocol"), QString());
    key.sync();

    // The link is the program's only argument: "%1" is the shell's
    // placeholder, written as it is (one pass, so a path holding "%2"
    // stays as it is too).
    QSettings command(location(scheme) + QStringLiteral("\\shell\\open\\command"), QSettings::NativeFormat);
    command.setValue(QStringLiteral("Default"), QStringLiteral("\"%1\" \"%2\"")
                                                    .arg(QDir::toNativeSeparators(programPath), QStringLiteral("%1")));
    command.sync();
    return key.status() == QSettings::NoError && command.status() == QSettings::NoError;
}
