#include "settings/BypassList.h"

#include <QJsonArray>

#include "app/Logger.h"
#include "app/Settings.h"
#include "settings/CoalescedSend.h"
#include "vpn/VpnConnection.h"

namespace {
Logger logger(QStringLiteral("BypassList"));
} // namespace

BypassList::BypassList(QSharedPointer<Settings> settings, QSharedPointer<VpnConnection> vpnConnection,
                       QObject *parent)
    : QObject(parent), m_settings(std::move(settings)), m_vpnConnection(std::move(vpnConnection))
{
    m_sender = new CoalescedSend([this] { return message(); },
                                 [this](const QJsonObject &sent, const QJsonObject &reply) { onReply(sent, reply); },
                                 this);
    if (m_vpnConnection) {
        connect(m_vpnConnection.data(), &VpnConnection::connectionStateChanged, this,
                [this](VpnProtocol::ConnectionState state) {
                    if (m_sender->tunnelCameUp(state))
                        m_sender->send();
                });
    }
}

void BypassList::send()
{
    m_sender->send();
}

QJsonObject BypassList::message() const
{
    const QStringList sites = m_settings->bypassList() ? m_settings->bypassSites() : QStringList();
    return QJsonObject{{QStringLiteral("type"), QStringLiteral("bypass")},
                       {QStringLiteral("sites"), QJsonArray::fromStringList(sites)}};
}

void BypassList::onReply(const QJsonObject &sent, const QJsonObject &reply)
{
    const QString type = sent.value(QLatin1String("type")).toString();
    if (reply.isEmpty()) {
        logger.warning() << "The service did not answer" << type << "(older service, or none)";
        return;
    }
    const bool unavailable = reply.value(QLatin1String("error")).toString() == QLatin1String("unavailable");
    logger.info() << type << "in the service:" << reply.value(QLatin1String("count")).toInt() << "entries,"
                  << (unavailable ? "unavailable for this connection" : "on");
    if (unavailable == m_unavailable)
        return;
    m_unavailable = unavailable;
    emit unavailableChanged();
}
