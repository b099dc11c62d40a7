#include "servers/ConfigFetcher.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonValue>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

#include "app/Logger.h"
#include "app/Settings.h"
#include "servers/CdnRouteCache.h"
#include "servers/ConfigRequest.h"
#include "servers/ConnectionConfig.h"
#include "servers/RecoveryBudget.h"
#include "servers/ServerListReader.h"

namespace {

// The model's name: these lines have always been the catalogue's.
Logger logger(QStringLiteral("ServersModel"));

QString statusLabel(int status, const QJsonObject &answer)
{
    QString label = QStringLiteral("HTTP %1").arg(status);
    const QString message = answer.value(QLatin1String("message")).toString();
    if (!message.isEmpty())
        label += QStringLiteral(", \"%1\"").arg(message.left(120));
    return label;
}

// The "error" of a refusal as text: the string itself, or the error object.
QString errorText(const QJsonObject &answer)
{
    const QJsonValue error = answer.value(QLatin1String("error"));
    if (error.isString())
        return error.toString();
    if (error.isObject())
        return QString::fromUtf8(QJsonDocument(error.toObject()).toJson(QJsonDocument::Compact));
    return {};
}

} // namespace

ConfigFetcher::ConfigFetcher(const CatalogueHooks &hooks, QSharedPointer<Settings> settings, Catalogue catalogue,
                             QObject *parent)
    : QObject(parent), m_hooks(hooks), m_settings(std::move(settings)), m_catalogue(std::move(catalogue))
{
}

ConfigFetcher::~ConfigFetcher() = default;

QString ConfigFetcher::accountEmail() const
{
    return m_hooks.accountEmail ? m_hooks.accountEmail() : QString();
}

QString ConfigFetcher::sessionToken() const
{
    return m_hooks.sessionToken ? m_hooks.sessionToken() : QString();
}

bool ConfigFetcher::firewallHeld() const
{
    return m_hooks.vpnFirewallHeld && m_hooks.vpnFirewallHeld();
}

struct ConfigFetcher::ConfigFetch {
    QString configId;
    VpnProtocol::Protocol protocol = VpnProtocol::Optimal;
    ConfigHandler onConfig;
    bool forConnect = false;
    int attempt = 0;
    ConfigErrorHandler onError;
    bool askRecover = false;
    QString transport;  // the caller's
    bool preferDirect = false;

    quint64 attemptNumber = 0;
    QNetworkRequest request;
    bool askedRecovery = false;
};

void ConfigFetcher::bumpConnectAttempt()
{
    ++m_connectAttempt;
}

void ConfigFetcher::getServerConfig(const QString &configId, VpnProtocol::Protocol protocol,
                                   const ConfigHandler &onConfig, bool forConnect, int attempt,
                                   const ConfigErrorHandler &onError, bool askRecover, const QString &transport,
                                   bool preferDirect)
{
    auto fetch = std::make_shared<ConfigFetch>();
    fetch->configId = configId;
    fetch->protocol = protocol;
    fetch->onConfig = onConfig;
    fetch->forConnect = forConnect;
    fetch->attempt = attempt;
    fetch->onError = onError;
    fetch->askRecover = askRecover;
    fetch->transport = transport;
    fetch->preferDirect = preferDirect;
    fetch->attemptNumber = forConnect ? m_connectAttempt : m_backgroundAttempt;
    m_lastFetchAskedRecovery = false;

    // Such an id would fetch another endpoint's answer as a configuration. It is
    // refused before anything of the request is spent, and the caller hears of it
    // the way it hears of any failed fetch: once the event loop turns.
    if (!ConfigRequest::isServerId(configId)) {
        logger.warning() << "Refusing config id" << configId << "- a path step, not a server";
        answerUnsent(fetch, QStringLiteral("not a config id"), false);
        return;
    }

    const ServerRecord *server = m_catalogue.serverByConfigId(configId);
    const ConfigRequest::Names names =
        ConfigRequest::namesFor(protocol, server ? server->vpnTypes.value(protocol) : QString(),
                                server ? server->transports.value(protocol) : QString(), transport);

    bool usedSavedRoute = false;
    if (forConnect || onError) {
        usedSavedRoute = m_usedSavedCdnRoute;
        m_usedSavedCdnRoute = false;
    }
    const bool recoverable = protocol == VpnProtocol::WireGuard || protocol == VpnProtocol::AmneziaWg
                             || protocol == VpnProtocol::Stealth || protocol == VpnProtocol::Hysteria2;
    if (onError && askRecover && !usedSavedRoute && recoverable && m_settings)
        fetch->askedRecovery = RecoveryBudget::tryAsk(*m_settings, m_catalogue.nowMs(), RecoveryBudget::perHourLimit());
    m_lastFetchAskedRecovery = fetch->askedRecovery;

    const QString baseUrl = m_hooks.apiBaseUrl ? m_hooks.apiBaseUrl() : QString();
    const QUrl url = ConfigRequest::url(baseUrl, configId, names, fetch->askedRecovery);
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setRawHeader("Authorization", "Bearer " + sessionToken().toUtf8());
    if (!baseUrl.isEmpty() && url.toString().startsWith(baseUrl)) {
        request.setRawHeader("X-App-Version", KELVRA_VERSION);
        request.setRawHeader("X-Platform", "windows");
    }
    fetch->request = request;
    sendConfigFetch(fetch);
}

void ConfigFetcher::sendConfigFetch(const std::shared_ptr<ConfigFetch> &fetch)
{
    const bool held = firewallHeld();
    const bool onPrimary = !m_hooks.apiOnPrimaryHost || m_hooks.apiOnPrimaryHost();
    // While the firewall holds traffic only the service reaches the API; a
    // recovery fetch also goes through it while the primary host is in use.
    const bool throughService = (fetch->onError && held)
                                || (fetch->onError && !held && !fetch->preferDirect && onPrimary)
                                || (fetch->forConnect && held);
    if (throughService)
        sendConfigThroughService(fetch);
    else
        sendConfigDirect(fetch);
}

void ConfigFetcher::sendConfigDirect(const std::shared_ptr<ConfigFetch> &fetch)
{
    QPointer<ConfigFetcher> self(this);
    auto done = [self, fetch](const ConfigReply &reply) {
        if (self)
            self->handleConfigAnswer(fetch, reply);
    };
    if (m_hooks.fetchConfigDirect) {
        m_hooks.fetchConfigDirect(fetch->request, done);
        return;
    }
    logger.warning() << "No request layer to fetch the configuration with";
    answerUnsent(fetch, QStringLiteral("no request layer"), true);
}

void ConfigFetcher::answerUnsent(const std::shared_ptr<ConfigFetch> &fetch, const QString &errorText,
                                bool hostUnreachable)
{
    QTimer::singleShot(0, this, [this, fetch, errorText, hostUnreachable] {
        ConfigReply reply;
        reply.error = true;
        reply.errorText = errorText;
        reply.hostUnreachable = hostUnreachable;
        handleConfigAnswer(fetch, reply);
    });
}

void ConfigFetcher::sendConfigThroughService(const std::shared_ptr<ConfigFetch> &fetch)
{
    QPointer<ConfigFetcher> self(this);
    QElapsedTimer elapsed;
    elapsed.start();
    auto done = [self, fetch, elapsed](int status, const QByteArray &body, const QByteArray &retryAfter) {
        if (!self)
            return;
        const bool held = self->firewallHeld();
        const QString outcome = status > 0 ? QStringLiteral("HTTP %1").arg(status) : QStringLiteral("no answer");
        if (status <= 0 && !held) {
            logger.info() << "Config fetch through the service:" << outcome << "in" << elapsed.elapsed() << "ms"
                          << "- the app's own fetch next";
            self->sendConfigDirect(fetch);
            return;
        }
        logger.info() << "Config fetch through the service:" << outcome << "in" << elapsed.elapsed() << "ms";
        ConfigReply reply;
        reply.status = qMax(0, status);
        reply.error = status <= 0 || status > 399;
        reply.body = body;
        reply.errorText = status > 0 ? QStringLiteral("HTTP %1").arg(status) : QStringLiteral("the service didn't fetch");
        reply.retryAfter = retryAfter;
        reply.hostUnreachable = status <= 0;
        self->handleConfigAnswer(fetch, reply);
    };
    if (m_hooks.fetchConfigThroughService) {
        m_hooks.fetchConfigThroughService(fetch->request.url(), sessionToken(), done);
        return;
    }
    logger.warning() << "No service link to fetch the configuration through";
    QTimer::singleShot(0, this, [done] { done(0, {}, {}); });
}

void ConfigFetcher::handleConfigAnswer(const std::shared_ptr<ConfigFetch> &fetchPtr, const ConfigReply &reply)
{
    const ConfigFetch &fetch = *fetchPtr;
    if (fetch.askedRecovery && reply.status >= 1 && reply.status <= 499 && reply.status != 429 && m_settings)
        RecoveryBudget::noteAnswered(*m_settings, m_catalogue.nowMs());

    const quint64 current = fetch.forConnect ? m_connectAttempt : m_backgroundAttempt;
    if (fetch.attemptNumber != current) {
        logger.info() << "Discarding config for a superseded attempt";
        return;
    }
    if (fetch.forConnect && !fetch.onError)
        m_lastConfigFailureStatus = reply.error ? reply.status : 0;

    if (reply.hostUnreachable && fetch.protocol == VpnProtocol::Stealth && (fetch.forConnect || fetch.onError)
        && m_catalogue.serverByConfigId(fetch.configId)) {
        const QJsonObject saved = CdnRouteCache::lookup(accountEmail(), fetch.configId, m_catalogue.nowMs());
        if (!saved.isEmpty()) {
            logger.info() << "No API host answered: Stealth over the server's saved Cloudflare route";
            m_usedSavedCdnRoute = true;
            if (fetch.onConfig)
                fetch.onConfig(saved);
            return;
        }
    }

    const QJsonObject answer = QJsonDocument::fromJson(reply.body).object();
    if (reply.error) {
        if (reply.status == 401) {
            if (m_hooks.check401)
                m_hooks.check401(fetch.request.rawHeader("Authorization"));
            return;
        }
        if (fetch.onError) {
            logger.warning() << "Recovery config fetch refused or failed: HTTP" << reply.status;
            const int code = answer.value(QLatin1String("error")).toObject().value(QLatin1String("code")).toInt();
            if (reply.status == 409 && (code == 99998 || code == 99999)) {
                if (m_hooks.deviceLimit)
                    m_hooks.deviceLimit(reply.body);
                fetch.onError(reply.status, reply.retryAfter, QStringLiteral("limit"));
            } else {
                fetch.onError(reply.status, reply.retryAfter, errorText(answer));
            }
            return;
        }
        if (reply.status == 403 || reply.status == 409) {
            if (!fetch.forConnect) {
                logger.warning() << "Background config prefetch refused:" << reply.status;
                return;
            }
            if (m_hooks.deviceLimit && m_hooks.deviceLimit(reply.body)) {
                if (m_hooks.vpnEndConnection)
                    m_hooks.vpnEndConnection();
                return;
            }
        }
        logger.warning() << "Failed to fetch server config, error:" << reply.errorText;
        failConfigFetch(fetch, reply.errorText);
        return;
    }

    const QString configuration = answer.value(QLatin1String("configuration")).toString();
    const QString label = statusLabel(reply.status, answer);
    if (configuration.isEmpty()) {
        if (fetch.onError) {
            logger.warning() << "Recovery config fetch returned no configuration:" << label;
            fetch.onError(reply.status, {}, {});
            return;
        }
        if (fetch.attempt + 1 < kEmptyConfigTries) {
            const int wait = qMin(2000 + 1000 * fetch.attempt, 5000);
            logger.warning() << QStringLiteral("Empty config received (%1), retrying in %2ms...").arg(label).arg(wait);
            const quint64 attemptNumber = fetch.attemptNumber;
            const bool forConnect = fetch.forConnect;
            QTimer::singleShot(m_catalogue.delay(wait), this, [this, fetchPtr, attemptNumber, forConnect] {
                if (attemptNumber != (forConnect ? m_connectAttempt : m_backgroundAttempt))
                    return;
                const ConfigFetch &f = *fetchPtr;
                getServerConfig(f.configId, f.protocol, f.onConfig, f.forConnect, f.attempt + 1, {}, true, f.transport,
                                f.preferDirect);
            });
            return;
        }
        logger.warning() << "Giving up after" << kEmptyConfigTries << "empty configs for protocol"
                         << int(fetch.protocol) << "-" << label;
        failConfigFetch(fetch, QStringLiteral("no configuration returned"));
        return;
    }

    const QString answeredTransport = answer.value(QLatin1String("transport")).toString();
    if (!fetch.transport.isEmpty() && answeredTransport.compare(fetch.transport, Qt::CaseInsensitive) != 0) {
        logger.warning() << "The server has no" << fetch.transport << "route";
        if (fetch.onError)
            fetch.onError(reply.status, {}, {});
        else
            failConfigFetch(fetch, QStringLiteral("no %1 route").arg(fetch.transport));
        return;
    }
    if (answer.value(QLatin1String("recreated")).toBool(false))
        logger.info() << "The server recreated this device's peer";
    if (answer.contains(QLatin1String("pool"))) {
        const QJsonValue location = answer.value(QLatin1String("location_id"));
        logger.info() << "Pool" << answer.value(QLatin1String("pool")).toVariant().toString() << "gave location"
                      << (location.isString() ? location.toString() : ServerListReader::idText(location));
    }

    const QJsonObject config = ConnectionConfig::build(fetch.protocol, configuration);
    const QJsonObject data = config.value(ConnectionConfig::dataKey(config.value(QLatin1String("protocol")).toString()))
                                 .toObject();
    if (fetch.protocol == VpnProtocol::AmneziaWg && !data.contains(QLatin1String("awg"))) {
        logger.warning() << "The AmneziaWG profile has no obfuscation parameters this app understands";
        failConfigFetch(fetch, QStringLiteral("no obfuscation parameters"));
        return;
    }
    if ((fetch.protocol == VpnProtocol::Stealth || fetch.protocol == VpnProtocol::Hysteria2)
        && !data.contains(QLatin1String("vless"))) {
        logger.warning() << "The stealth profile is not a vless:// or hysteria2:// link";
        failConfigFetch(fetch, QStringLiteral("not a stealth profile"));
        return;
    }
    if (fetch.protocol == VpnProtocol::Stealth && answeredTransport == QLatin1String("cdn")) {
        CdnRouteCache::save(accountEmail(), fetch.configId, config, m_catalogue.nowMs(),
                            m_catalogue.listedConfigIds());
    }
    if (fetch.onConfig)
        fetch.onConfig(config);
}

void ConfigFetcher::failConfigFetch(const ConfigFetch &fetch, const QString &reason)
{
    if (fetch.onError) {
        logger.warning() << "Recovery config fetch failed:" << reason;
        fetch.onError(0, {}, {});
    } else if (fetch.forConnect) {
        if (m_hooks.vpnFailConnection)
            m_hooks.vpnFailConnection();
    } else {
        logger.info() << "Background config prefetch failed:" << reason << "- not surfacing to the user";
    }
}

void ConfigFetcher::warmCdnConfigs()
{
    const QString email = accountEmail();
    if (email.isEmpty())
        return;
    const qint64 now = m_catalogue.nowMs();
    for (const CdnRouteCache::Entry &entry : CdnRouteCache::entries(email)) {
        const qint64 age = now - entry.savedMs;
        if (age <= CdnRouteCache::kRefreshAgeMs || age > CdnRouteCache::kMaxAgeMs)
            continue;
        const ServerRecord *server = m_catalogue.serverByConfigId(entry.configId);
        if (m_warmedCdnRoutes.contains(entry.configId) || !server || !server->hasCdnRoute)
            continue;
        m_warmedCdnRoutes.insert(entry.configId);
        logger.info() << "Refreshing a saved Cloudflare route";
        getServerConfig(entry.configId, VpnProtocol::Stealth, [](const QJsonObject &) {}, false, 0, {}, false,
                        QStringLiteral("cdn"), false);
    }
}
