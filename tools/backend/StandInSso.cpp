#include "StandInSso.h"

#include <QUrl>

namespace {
const char kProviderPrefix[] = "/desktop-app/";

StandInReply page(int status, const QString &text)
{
    return StandInReply::status(status, QStringLiteral("<html><body><p>%1</p></body></html>").arg(text).toUtf8(),
                                {{"Content-Type", "text/html; charset=utf-8"}});
}

StandInReply redirect(const QString &location)
{
    return StandInReply::status(302, QByteArray(), {{"Location", location.toUtf8()}});
}
} // namespace

bool StandInSso::handles(const StandInRequest &request)
{
    return request.path.startsWith(QLatin1String(kProviderPrefix)) || request.path == QLatin1String("/login-sso");
}

void StandInSso::clear()
{
    m_signOns.clear();
    m_visits.clear();
}

StandInReply StandInSso::answer(const StandInRequest &request, StandInAccounts &accounts)
{
    if (request.method != "GET")
        return page(405, QStringLiteral("Method not allowed."));
    if (request.path == QLatin1String("/login-sso"))
        return dashboard(request, accounts);
    if (request.path == QLatin1String("/desktop-app/google/login"))
        return providerPage(request, accounts, QStringLiteral("google"));
    if (request.path == QLatin1String("/desktop-app/apple/login"))
        return providerPage(request, accounts, QStringLiteral("apple"));
    return page(404, QStringLiteral("Not found."));
}

StandInReply StandInSso::providerPage(const StandInRequest &request, StandInAccounts &accounts,
                                      const QString &provider)
{
    const QString state = request.query.queryItemValue(QStringLiteral("state"), QUrl::FullyDecoded);
    if (request.query.queryItemValue(QStringLiteral("platform")) != QLatin1String("windows"))
        return page(400, QStringLiteral("Unknown platform."));
    if (state.isEmpty())
        return page(400, QStringLiteral("The sign-in request has no state."));
    if (m_browserAccount.isEmpty())
        return page(200, QStringLiteral("You cancelled the sign-in."));

    QJsonObject device;
    for (const char *field : {"device_os", "device_os_version", "device_brand", "device_model"})
        device.insert(QLatin1String(field), request.query.queryItemValue(QLatin1String(field), QUrl::FullyDecoded));
    QString ip = request.peer;
    if (ip.startsWith(QLatin1String("::ffff:")))
        ip = ip.mid(7);
    const QString token = accounts.signIn(m_browserAccount, device, ip);
    if (token.isEmpty())
        return page(409, QStringLiteral("This account has reached its device limit."));
    m_signOns.append({provider, state, m_browserAccount, token, request.query});
    return redirect(QStringLiteral("kelvra-fiddle://%1?state=%2")
                        .arg(QString::fromLatin1(QUrl::toPercentEncoding(token)),
                             QString::fromLatin1(QUrl::toPercentEncoding(state))));
}

StandInReply StandInSso::dashboard(const StandInRequest &request, StandInAccounts &accounts)
{
    const QString code = request.query.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded);
    const QString target = request.query.queryItemValue(QStringLiteral("redirect"), QUrl::FullyDecoded);
    QString email;
    if (accounts.redeemLinkCode(code, &email) != StandInAccounts::LinkCode::Valid) {
        m_visits.append({QString(), target});
        return page(403, QStringLiteral("This sign-in link is not valid."));
    }
    m_visits.append({email, target});
    return redirect(target.startsWith(QLatin1Char('/')) ? target : QStringLiteral("/"));
}
