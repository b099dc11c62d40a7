#include "settings/SiteName.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QUrl>

QString SiteName::normalise(const QString &typed)
{
    QString text = typed.trimmed().toLower();
    if (text.isEmpty())
        return {};
    if (text.startsWith(QLatin1String("*.")))
        text.remove(0, 2);
    if (!text.contains(QLatin1String("://")))
        text.prepend(QLatin1String("http://"));

    QString host = QUrl(text).host(QUrl::FullyDecoded);
    while (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    if (host.startsWith(QLatin1String("www.")))
        host.remove(0, 4);

    QHostAddress address;
    if (address.setAddress(host) && address.protocol() == QAbstractSocket::IPv4Protocol)
        return host;
    static const QRegularExpression pattern(QStringLiteral(
        "^(?=.{1,253}$)([a-z0-9]([a-z0-9-]{0,61}[a-z0-9])?\\.)+[a-z0-9]([a-z0-9-]{0,61}[a-z0-9])?$"));
    if (!host.contains(QLatin1Char('.')) || !pattern.match(host).hasMatch())
        return {};
    return host;
}
