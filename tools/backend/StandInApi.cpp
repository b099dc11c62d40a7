#include "StandInApi.h"

#include "StandInHeaderCheck.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

namespace {
StandInReply ok(const QJsonObject &fields)
{
    QJsonObject body{{QStringLiteral("success"), true}};
    for (auto it = fields.constBegin(); it != fields.constEnd(); ++it)
        body.insert(it.key(), it.value());
    return StandInReply::json(200, body);
}

StandInReply okData(const QJsonValue &data)
{
    return ok({{QStringLiteral("data"), data}});
}

StandInReply invalid(const QString &message)
{
    return StandInReply::error(422, message);
}

bool isEmail(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^[^@\\s]+@[^@\\s]+\\.[^@\\s]+$"));
    return text.size() <= 254 && pattern.match(text).hasMatch();
}

// The method each endpoint takes ("*": any); an endpoint missing here is unknown.
QByteArray methodOf(const QString &endpoint)
{
    static const QHash<QString, QByteArray> methods{
        {QStringLiteral("auth/get-login-code"), "POST"},
        {QStringLiteral("auth/code-login"), "POST"},
        {QStringLiteral("auth/sso-login-with-token"), "POST"},
        {QStringLiteral("auth/sso-generate-login"), "POST"},
        {QStringLiteral("auth/logout"), "POST"},
        {QStringLiteral("app-version-check"), "POST"},
        {QStringLiteral("me"), "GET"},
        {QStringLiteral("subscription-info"), "GET"},
        {QStringLiteral("connected-device"), "GET"},
        {QStringLiteral("remove-device"), "POST"},
        {QStringLiteral("user/subscription-plans"), "POST"},
        {QStringLiteral("client/servers"), "GET"},
        {QStringLiteral("client/configuration/"), "GET"},
        {QStringLiteral("client/vpn-session"), "POST"},
        {QStringLiteral("client/protocol-report"), "POST"},
        {QStringLiteral("client/blocklist"), "GET"},
        {QStringLiteral("in-app-messages/sync"), "POST"},
        {QStringLiteral("in-app-messages/events"), "POST"},
        {QStringLiteral("notifications/pending"), "GET"},
        {QStringLiteral("notifications/inbox"), "GET"},
        {QStringLiteral("notifications/ack"), "POST"},
        {QStringLiteral("speed-test/download"), "GET"},
        {QStringLiteral("speed-test/upload"), "POST"},
    };
    return methods.value(endpoint);
}

// "client/configuration/<id>" and "notifications/<id>/ack" carry an id in
// their path; the rest are fixed.
QString routeOf(const QString &endpoint)
{
    if (endpoint.startsWith(QLatin1String("client/configuration/")) && endpoint.size() > 21)
        return QStringLiteral("client/configuration/");
    static const QRegularExpression ack(QStringLiteral("^notifications/[^/]+/ack$"));
    if (ack.match(endpoint).hasMatch())
        return QStringLiteral("notifications/ack");
    return endpoint;
}
} // namespace

StandInApi::StandInApi(QObject *parent)
    : QObject(parent)
{
}

StandInReply StandInApi::answer(const StandInRequest &request)
{
    if (request.header("Upgrade").toLower().contains("websocket"))
        return upgrade(request);
    if (request.path == QLatin1String("/cdn-cgi/trace")) {
        if (request.method != "GET" && request.method != "HEAD")
            return StandInReply::error(405, QStringLiteral("Method not allowed."));
        return trace(request);
    }
    if (request.path.startsWith(QLatin1String("/downloads/")))
        return m_updates.download(request);
    if (request.path.startsWith(QLatin1String("/api/")))
        return api(request, request.endpoint());
    if (StandInSso::handles(request))
        return m_sso.answer(request, m_accounts);
    return StandInReply::error(404, QStringLiteral("Not found."));
}

StandInReply StandInApi::api(const StandInRequest &request, const QString &endpoint)
{
    const QString route = routeOf(endpoint);
    const QByteArray method = methodOf(route);
    if (method.isEmpty())
        return StandInReply::error(404, QStringLiteral("The route %1 could not be found.").arg(endpoint));
    if (method != "*" && request.method != method && !(method == "GET" && request.method == "HEAD"))
        return StandInReply::error(405, QStringLiteral("The %1 method is not supported for this route.")
                                            .arg(QString::fromLatin1(request.method)));
    const QStringList missing = StandInHeaderCheck::faults(request, route);
    if (!missing.isEmpty()) {
        const QString fault = QStringLiteral("%1 %2: %3")
                                  .arg(QString::fromLatin1(request.method), route, missing.join(QStringLiteral(", ")));
        qWarning("backend stand-in: REFUSED %s (a header the client always sends is missing or wrong)",
                 qPrintable(fault));
        m_headerFaults.append(fault);
        return StandInReply::error(400, QStringLiteral("Missing or wrong header: %1").arg(missing.join(QStringLiteral(", "))));
    }
    if (route == QLatin1String("auth/get-login-code"))
        return getLoginCode(request);
    if (route == QLatin1String("auth/code-login"))
        return codeLogin(request);
    if (route == QLatin1String("auth/sso-login-with-token"))
        return linkLogin(request);
    if (route == QLatin1String("app-version-check"))
        return m_updates.check(request);
    StandInAccounts::Account *account = m_accounts.accountForToken(request.bearerToken());
    if (!account)
        return StandInReply::unauthorized();
    return signedIn(request, endpoint, *account);
}

StandInReply StandInApi::signedIn(const StandInRequest &request, const QString &endpoint,
                                  StandInAccounts::Account &account)
{
    const QString token = request.bearerToken();
    const QString route = routeOf(endpoint);
    if (StandInAccounts::Device *device = m_accounts.deviceForToken(token))
        device->lastSeen = QDateTime::currentDateTimeUtc();

    if (route == QLatin1String("me")) {
        QJsonObject data = StandInAccounts::userJson(account);
        data.insert(QStringLiteral("user"), StandInAccounts::userJson(account));
        return okData(data);
    }
    if (route == QLatin1String("subscription-info"))
        return okData(account.subscription);
    if (route == QLatin1String("connected-device")) {
        // The device list comes wrapped in one more array. Not written
        // QJsonArray{list}: clang reads a braced array of one array as a copy
        // of it, gcc as an array holding it.
        return okData(QJsonArray() << m_accounts.devicesJson(account, StandInAccounts::tokenIdOf(token)));
    }
    if (route == QLatin1String("remove-device")) {
        const QString uuid = QString::fromUtf8(request.header("x-device-id")).trimmed();
        if (uuid.isEmpty())
            return invalid(QStringLiteral("The device id is required."));
        if (!m_accounts.removeDevice(&account, uuid))
            return StandInReply::error(404, QStringLiteral("Device not found."));
        return ok({{QStringLiteral("message"), QStringLiteral("Device removed.")}});
    }
    if (route == QLatin1String("auth/logout")) {
        m_accounts.revoke(token);
        return ok({{QStringLiteral("message"), QStringLiteral("Successfully logged out")}});
    }
    if (route == QLatin1String("auth/sso-generate-login")) {
        return okData(QJsonObject{{QStringLiteral("access_token"), m_accounts.issueLinkCode(account.email)}});
    }
    if (StandInEngagement::serves(route))
        return m_engagement.answer(request, route, endpoint);
    if (route == QLatin1String("client/servers"))
        return StandInReply::status(200, m_catalogue.serversBody());
    if (route == QLatin1String("client/configuration/"))
        return configuration(request, endpoint.mid(route.size()), account);
    if (route == QLatin1String("client/vpn-session"))
        return vpnSession(request, token, account.email);
    if (route == QLatin1String("client/protocol-report"))
        return m_reports.protocolReport(request, account.email);
    if (route == QLatin1String("client/blocklist"))
        return m_blocklist.answer(request);
    return ok({});
}

StandInReply StandInApi::getLoginCode(const StandInRequest &request)
{
    const QString email = request.json().value(QLatin1String("email")).toString().trimmed();
    if (!isEmail(email))
        return invalid(QStringLiteral("The email field must be a valid email address."));
    const QString code = m_accounts.mailCode(email);
    emit codeMailed(email, code);
    return ok({{QStringLiteral("message"), QStringLiteral("An email sent to %1 with your sign-in code.").arg(email)}});
}

StandInReply StandInApi::codeLogin(const StandInRequest &request)
{
    const QJsonObject body = request.json();
    const QString email = body.value(QLatin1String("email")).toString().trimmed();
    const QString code = body.value(QLatin1String("code")).toString();
    if (!isEmail(email) || code.isEmpty())
        return invalid(QStringLiteral("The email and code fields are required."));
    if (!m_accounts.takeCode(email, code))
        return invalid(QStringLiteral("That code isn't valid or has expired. Request a new one."));
    return loggedIn(email, body, request);
}

StandInReply StandInApi::linkLogin(const StandInRequest &request)
{
    if (request.json().value(QLatin1String("access_token")).toString().isEmpty())
        return StandInReply::error(422, QStringLiteral("The access token field is required."), 20039);
    QString email;
    switch (m_accounts.redeemLinkCode(request.json().value(QLatin1String("access_token")).toString(), &email)) {
    case StandInAccounts::LinkCode::Valid:
        return loggedIn(email, QJsonObject(), request);
    case StandInAccounts::LinkCode::Expired:
        return StandInReply::error(422, QStringLiteral("This sign-in link has expired."), 20042);
    case StandInAccounts::LinkCode::Used:
        return StandInReply::error(422, QStringLiteral("This sign-in link was already used."), 20041);
    case StandInAccounts::LinkCode::Unknown:
        break;
    }
    return StandInReply::error(422, QStringLiteral("This sign-in link is not valid."), 20040);
}

StandInReply StandInApi::loggedIn(const QString &email, const QJsonObject &device, const StandInRequest &request)
{
    QString ip = request.peer;
    if (ip.startsWith(QLatin1String("::ffff:")))
        ip = ip.mid(7);
    const QString token = m_accounts.signIn(email, device, ip);
    if (token.isEmpty())
        return StandInReply::deviceLimit(409);
    const StandInAccounts::Account *account = m_accounts.accountForToken(token);
    return ok({{QStringLiteral("message"), QStringLiteral("Successfully logged in")},
               {QStringLiteral("data"), QJsonObject{{QStringLiteral("token"), token},
                                                    {QStringLiteral("user"), StandInAccounts::userJson(*account)}}}});
}

StandInReply StandInApi::configuration(const StandInRequest &request, const QString &configId,
                                       StandInAccounts::Account &account)
{
    const int tokenId = StandInAccounts::tokenIdOf(request.bearerToken());
    const int limit = m_accounts.connectionLimit();
    if (limit > 0 && m_accounts.connectedOthersCount(account, tokenId) >= limit)
        return StandInReply::connectionLimit(m_accounts.connectedOthers(account, tokenId), 409);
    const QString vpnType = request.query.queryItemValue(QStringLiteral("vpn_type"), QUrl::FullyDecoded);
    if (vpnType.isEmpty())
        return invalid(QStringLiteral("The vpn_type field is required."));
    const StandInCatalogue::Result result = m_catalogue.configuration(
        configId, vpnType, request.query.queryItemValue(QStringLiteral("transport"), QUrl::FullyDecoded),
        request.query.queryItemValue(QStringLiteral("recover")) == QLatin1String("1"));
    if (result.status != 200)
        return StandInReply::error(result.status, result.error);
    return StandInReply::json(200, result.answer);
}

StandInReply StandInApi::vpnSession(const StandInRequest &request, const QString &token, const QString &email)
{
    const QJsonObject body = request.json();
    const QString state = body.value(QLatin1String("state")).toString();
    if (state != QLatin1String("connected") && state != QLatin1String("disconnected"))
        return invalid(QStringLiteral("The state must be connected or disconnected."));
    if (StandInAccounts::Device *device = m_accounts.deviceForToken(token)) {
        device->vpnConnected = state == QLatin1String("connected");
        device->vpnType = device->vpnConnected ? body.value(QLatin1String("vpn_type")).toString() : QString();
    }
    m_reports.recordSession(email, body);
    return ok({{QStringLiteral("message"), QStringLiteral("Session recorded.")}});
}

StandInReply StandInApi::trace(const StandInRequest &request) const
{
    QString ip = m_probeIp.isEmpty() ? request.peer : m_probeIp;
    if (ip.startsWith(QLatin1String("::ffff:")))
        ip = ip.mid(7);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QByteArray body = "fl=17f42\n"
                            "h=" + request.host.toLatin1() + "\n"
                            "ip=" + ip.toLatin1() + "\n"
                            "ts=" + QByteArray::number(now / 1000) + '.' + QByteArray::number(now % 1000) + "\n"
                            "visit_scheme=https\n"
                            "uag=" + request.header("User-Agent") + "\n"
                            "colo=TST\nsliver=none\nhttp=http/1.1\nloc=ZZ\ntls=TLSv1.3\nsni=off\nwarp=off\ngateway=off\nrbi=off\nkex=X25519\n";
    return StandInReply::status(200, body, {{"Content-Type", "text/plain"}});
}

StandInReply StandInApi::upgrade(const StandInRequest &request) const
{
    const QByteArray key = request.header("Sec-WebSocket-Key");
    if (!request.path.startsWith(QLatin1String("/ws/")))
        return StandInReply::error(404, QStringLiteral("Not found."));
    if (key.isEmpty() || request.header("Sec-WebSocket-Version") != "13")
        return StandInReply::error(400, QStringLiteral("Bad WebSocket upgrade."));
    const QByteArray accept = QCryptographicHash::hash(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11",
                                                       QCryptographicHash::Sha1).toBase64();
    return StandInReply::status(101, QByteArray(),
                                {{"Upgrade", "websocket"}, {"Connection", "Upgrade"}, {"Sec-WebSocket-Accept", accept}});
}
