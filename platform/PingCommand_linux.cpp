#include "platform/PingCommand.h"

QString PingCommand::program()
{
    return QStringLiteral("ping");
}

QStringList PingCommand::arguments(const QString &host)
{
    // iputils: -n keeps the output numeric (no reverse lookups), -c three
    // requests, -W one second to wait for each reply.
    return {QStringLiteral("-n"), QStringLiteral("-c"), QStringLiteral("3"), QStringLiteral("-W"), QStringLiteral("1"),
            host};
}

QProcessEnvironment PingCommand::environment()
{
    // ping translates its reply lines ("Zeit=12,3 ms"); in the C locale they
    // keep the one form the pinger reads. LC_ALL wins over every other locale
    // variable, and gettext ignores LANGUAGE while the locale is C.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    environment.insert(QStringLiteral("LANG"), QStringLiteral("C"));
    return environment;
}
