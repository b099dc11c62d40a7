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
