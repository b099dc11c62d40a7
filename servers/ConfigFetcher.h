#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QSharedPointer>
#include <QString>

#include <functional>
#include <memory>

#include "servers/CatalogueHooks.h"
#include "servers/ServerRecord.h"
#include "vpn/VpnProtocol.h"

class Settings;

// Fetches the configuration a tunnel needs for one server and protocol
// ("client/configuration/"), on the app's own path or through the service,
// retries empty answers, keeps the recovery budget, and keeps and refreshes
// the saved Cloudflare routes that carry Stealth through an API outage. Only
// the newest connection attempt's answers count.
class ConfigFetcher : public QObject
{
    Q_OBJECT
public:
    using ConfigHandler = std::function<void(const QJsonObject &config)>;
    using ConfigErrorHandler = std::function<void(int status, const QByteArray &retryAfter, const QString &message)>;

    static constexpr int kEmptyConfigTries = 6;

    // What the fetcher needs of the catalogue it serves.
    struct Catalogue {
        std::function<const ServerRecord *(const QString &configId)> serverByConfigId;
        std::function<QSet<QString>()> listedConfigIds;
        std::function<qint64()> nowMs;
        // The wait to use for a wait of `ms` (tests shorten them).
        std::function<int(qint64 ms)> delay;
    };

    // `hooks` belongs to the owner and must outlive the fetcher.
    ConfigFetcher(const CatalogueHooks &hooks, QSharedPointer<Settings> settings, Catalogue catalogue,
                  QObject *parent = nullptr);
    ~ConfigFetcher() override;

    // forConnect: a connection attempt waits for it (its failures are shown).
    // attempt: empty answers already retried. onError: the caller handles every
    // failure itself. askRecover: the request may ask the API to recover the
    // peer. transport: replaces the transport. preferDirect: keeps a recovery
    // fetch on the app's own path while the firewall is not held.
    void getServerConfig(const QString &configId, VpnProtocol::Protocol protocol, const ConfigHandler &onConfig,
                         bool forConnect, int attempt = 0, const ConfigErrorHandler &onError = {},
                         bool askRecover = false, const QString &transport = {}, bool preferDirect = false);
    // Every fetch a connection attempt still waits for is discarded when its answer comes.
    void bumpConnectAttempt();
    int lastConfigFailureStatus() const { return m_lastConfigFailureStatus; }
    bool lastFetchAskedRecovery() const { return m_lastFetchAskedRecovery; }

    // Refreshes the saved Cloudflare routes older than a day, once per run each.
    void warmCdnConfigs();

private:
    struct ConfigFetch;

    QString accountEmail() const;
    QString sessionToken() const;
    bool firewallHeld() const;

    void sendConfigFetch(const std::shared_ptr<ConfigFetch> &fetch);
    void sendConfigDirect(const std::shared_ptr<ConfigFetch> &fetch);
    void sendConfigThroughService(const std::shared_ptr<ConfigFetch> &fetch);
    // A fetch that was never sent fails the way a sent one does, once the event
    // loop turns, so callers never hear back inside their own call.
    void answerUnsent(const std::shared_ptr<ConfigFetch> &fetch, const QString &errorText, bool hostUnreachable);
    void handleConfigAnswer(const std::shared_ptr<ConfigFetch> &fetch, const ConfigReply &reply);
    void failConfigFetch(const ConfigFetch &fetch, const QString &reason);

    const CatalogueHooks &m_hooks;
    QSharedPointer<Settings> m_settings;
    Catalogue m_catalogue;

    quint64 m_connectAttempt = 0;
    const quint64 m_backgroundAttempt = 0;
    int m_lastConfigFailureStatus = 0;
    bool m_lastFetchAskedRecovery = false;
    bool m_usedSavedCdnRoute = false;
    QSet<QString> m_warmedCdnRoutes;
};
