#include "platform/NativeArchitecture.h"

#include <sys/utsname.h>

QString NativeArchitecture::name()
{
    struct utsname system {};
    if (::uname(&system) != 0)
        return QStringLiteral("Unavailable");
    const QString machine = QString::fromLatin1(system.machine);
    if (machine == QLatin1String("x86_64"))
        return QStringLiteral("x64");
    if (machine == QLatin1String("aarch64") || machine == QLatin1String("arm64"))
        return QStringLiteral("ARM64");
    if (machine.size() == 4 && machine.startsWith(QLatin1Char('i')) && machine.endsWith(QLatin1String("86")))
        return QStringLiteral("x86");
    if (machine.startsWith(QLatin1String("arm")))
        return QStringLiteral("ARM");
    return QStringLiteral("Unknown");
}

QString NativeArchitecture::forUpdateCheck()
{
    const QString native = name();
    return native == QLatin1String("ARM64") ? QStringLiteral("x64") : native;
}
