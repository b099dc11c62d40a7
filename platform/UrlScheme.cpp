#include "platform/UrlScheme.h"

#include <QRegularExpression>

bool UrlScheme::isValidScheme(const QString &scheme)
{
    // The name becomes part of a registry key or a MIME type: nothing that
    // could reach outside it.
    static const QRegularExpression pattern(QStringLiteral("^[a-z][a-z0-9+.-]{0,31}$"));
    return pattern.match(scheme).hasMatch();
}
