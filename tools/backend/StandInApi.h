#pragma once

#include "StandInAccounts.h"
#include "StandInBlocklist.h"
#include "StandInCatalogue.h"
#include "StandInEngagement.h"
#include "StandInReply.h"
#include "StandInReports.h"
#include "StandInRequest.h"
#include "StandInUpdates.h"
#include "StandInSso.h"

#include <QObject>
#include <QStringList>

// The stand-in's normal answers: the API under "/api/" served from the
// account store and the catalogue, the connectivity probe ("/cdn-cgi/trace")
// and the Cloudflare front's WebSocket upgrade on the catalogue's probe paths.
class StandInApi : public QObject
{
    Q_OBJECT
public:
    explicit StandInApi(QObject *parent = nullptr);

    StandInReply answer(const StandInRequest &request);

    StandInAccounts &accounts() { return m_accounts; }
    const StandInAccounts &accounts() const { return m_accounts; }
    StandInCatalogue &catalogue() { return m_catalogue; }
    const StandInCatalogue &catalogue() const { return m_catalogue; }
    void setProbeIp(const QString &ip) { m_probeIp = ip; }
    StandInBlocklist &blocklist() { return m_blocklist; }
    QStringList headerFaults() const { return m_headerFaults; }
    StandInUpdates &updates() { return m_updates; }
    StandInSso &sso() { return m_sso; }
    StandInReports &reports() { return m_reports; }
    StandInEngagement &engagement() { return m_engagement; }

signals:
    void codeMailed(const QString &email, const QString &code);

private:
    StandInReply api(const StandInRequest &request, const QString &endpoint);
    StandInReply signedIn(const StandInRequest &request, const QString &endpoint, StandInAccounts::Account &account);
    StandInReply getLoginCode(const StandInRequest &request);
    StandInReply codeLogin(const StandInRequest &request);
    StandInReply linkLogin(const StandInRequest &request);
    StandInReply loggedIn(const QString &email, const QJsonObject &device, const StandInRequest &request);
    StandInReply configuration(const StandInRequest &request, const QString &configId, StandInAccounts::Account &account);
    StandInReply vpnSession(const StandInRequest &request, const QString &token, const QString &email);
    StandInReply trace(const StandInRequest &request) const;
    StandInReply upgrade(const StandInRequest &request) const;

    StandInAccounts m_accounts;
    StandInCatalogue m_catalogue;
    StandInBlocklist m_blocklist;
    StandInUpdates m_updates;
    StandInSso m_sso;
    StandInReports m_reports;
    StandInEngagement m_engagement;
    QString m_probeIp;
    QStringList m_headerFaults;
};
