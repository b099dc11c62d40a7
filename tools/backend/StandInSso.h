#pragma once

#include "StandInAccounts.h"
#include "StandInReply.h"
#include "StandInRequest.h"

#include <QList>
#include <QString>
#include <QStringList>

// The account web site's half of signing in without a code. The provider
// pages ("/desktop-app/google/login", "/desktop-app/apple/login") sign in the
// account the "browser" is signed into and send the browser on to a
// "kelvra-fiddle" link carrying the session token and the client's state;
// "/login-sso" takes a one-time sign-in code (the dashboard's) and sends the
// browser on to the page asked for. Tests play the browser and read back what
// happened.
class StandInSso
{
public:
    struct SignOn
    {
        QString provider; // "google" or "apple"
        QString state;
        QString email;
        QString token;
        QUrlQuery query;
    };
    struct DashboardVisit
    {
        QString email; // empty when the code was refused
        QString page;
    };

    static bool handles(const StandInRequest &request);
    StandInReply answer(const StandInRequest &request, StandInAccounts &accounts);

    // The account the browser is signed into at the provider (default
    // "sso@example.com"); empty: the person gives up at the provider's page.
    void setBrowserAccount(const QString &email) { m_browserAccount = email; }
    QList<SignOn> signOns() const { return m_signOns; }
    QList<DashboardVisit> dashboardVisits() const { return m_visits; }
    void clear();

private:
    StandInReply providerPage(const StandInRequest &request, StandInAccounts &accounts, const QString &provider);
    StandInReply dashboard(const StandInRequest &request, StandInAccounts &accounts);

    QString m_browserAccount = QStringLiteral("sso@example.com");
    QList<SignOn> m_signOns;
    QList<DashboardVisit> m_visits;
};
