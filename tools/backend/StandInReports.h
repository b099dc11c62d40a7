#pragma once

#include "StandInReply.h"
#include "StandInRequest.h"

#include <QJsonObject>
#include <QList>
#include <QString>

// What the client tells the backend about its connections: the session
// reports ("client/vpn-session") and the batches of connection-attempt
// reports ("client/protocol-report"), kept in arrival order for the tests.
// A batch that breaks the report format is refused (422) and not kept.
class StandInReports
{
public:
    struct Session
    {
        QString email;
        QJsonObject body;
    };
    struct Batch
    {
        QString email;
        QJsonObject body;
    };

    // Called once the session request has been accepted.
    void recordSession(const QString &email, const QJsonObject &body);
    StandInReply protocolReport(const StandInRequest &request, const QString &email);

    // From now on batches are answered 202 with reason "via_vpn", as the
    // backend does when the report came in through a VPN.
    void setViaVpn(bool viaVpn) { m_viaVpn = viaVpn; }

    QList<Session> sessions() const { return m_sessions; }
    QList<Batch> batches() const { return m_batches; }
    void clear();

    // Why a batch breaks the format; empty when it is sound.
    static QString formatError(const QJsonObject &body);

private:
    QList<Session> m_sessions;
    QList<Batch> m_batches;
    bool m_viaVpn = false;
};
