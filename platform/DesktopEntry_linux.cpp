#include "platform/DesktopEntry.h"

#include <QRegularExpression>

namespace DesktopEntry {

QString quoteExecArgument(const QString &argument)
{
    QString quoted;
    quoted.reserve(argument.size() + 2);
    quoted += QLatin1Char('"');
    for (const QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        if (c == QLatin1Char('%'))
            quoted += QLatin1Char('%');
        quoted += c;
    }
    quoted += QLatin1Char('"');
    return quoted;
}

QString execArgument(const QString &argument)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9/._+-]+$"));
    return plain.match(argument).hasMatch() ? argument : quoteExecArgument(argument);
}

} // namespace DesktopEntry
