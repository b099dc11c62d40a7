#include "engagement/NetMonitor.h"

#include <QRegularExpression>

#include "app/Logger.h"

namespace {

Logger logger(QStringLiteral("NetMonitor"));

bool isTunnelName(const QString &name)
{
    static const QRegularExpression tunnel(QStringLiteral("^(utun|tun|kelvra|wg|awg|ipsec|ppp|wintun|tap)"),
                                           QRegularExpression::CaseInsensitiveOption);
    return tunnel.match(name).hasMatch();
}

bool isRoutable(const QHostAddress &address)
{
    if (address.protocol() == QAbstractSocket::IPv4Protocol)
        return !address.isLinkLocal() && !address.isLoopback();
    if (address.protocol() == QAbstractSocket::IPv6Protocol)
        return address.isGlobal() && !address.isUniqueLocalUnicast();
    return false;
}

} // namespace

NetMonitor::NetMonitor(QObject *parent) : QObject(parent)
{
    m_online = isOnline(NetworkIdentifier::interfaces());
    m_timer.setInterval(kIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &NetMonitor::check);
    m_timer.start();
}

bool NetMonitor::isOnline(const QList<NetworkIdentifier::Interface> &interfaces)
{
    for (const NetworkIdentifier::Interface &interface : interfaces) {
        if (!interface.upAndRunning || interface.loopback)
            continue;
        if (isTunnelName(interface.name) || isTunnelName(interface.humanReadableName))
            continue;
        for (const QNetworkAddressEntry &entry : interface.addresses) {
            if (isRoutable(entry.ip()))
                return true;
        }
    }
    return false;
}

void NetMonitor::check()
{
    observe(isOnline(NetworkIdentifier::interfaces()));
}

void NetMonitor::observe(bool online)
{
    if (online == m_online || (m_suppress && m_suppress())) {
        m_differing = 0;
        return;
    }
    if (++m_differing < 2)
        return;
    m_differing = 0;
    m_online = online;
    logger.info() << (online ? "The computer is online" : "The computer is offline");
    emit onlineChanged(online);
}
