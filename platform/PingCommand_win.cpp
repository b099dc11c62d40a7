#include "platform/PingCommand.h"

QString PingCommand::program()
{
    return QStringLiteral("ping");
}

QStringList PingCommand::arguments(const QString &host)
{
    return {QStringLiteral("-n"), QStringLiteral("3"), QStringLiteral("-w"), QStringLiteral("1000"), host};
}

QProcessEnvironment PingCommand::environment()
{
    // Windows writes its reply lines in one shape in every language.
    return QProcessEnvironment::systemEnvironment();
}
