#include "platform/PeerCheck.h"

QString PeerCheck::executableFromCommandLine(const QString &commandLine)
{
    if (commandLine.startsWith(QLatin1Char('"'))) {
        const int close = commandLine.indexOf(QLatin1Char('"'), 1);
        return close < 0 ? QString() : commandLine.mid(1, close - 1);
    }
    const int extension = commandLine.indexOf(QLatin1String(".exe"), 0, Qt::CaseInsensitive);
    if (extension < 0)
        return QString();
    const QString path = commandLine.left(extension + 4);
    return path.size() < 4 ? QString() : path;
}
