#pragma once

#include <QAbstractItemModel>
#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QNetworkRequest>
#include <QSet>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <vector>

#include "servers/CatalogueHooks.h"
#include "servers/ConfigFetcher.h"
#include "servers/ServerList.h"
#include "servers/ServerRecord.h"
#include "vpn/VpnProtocol.h"

class Pinger;
class ServerListCacheWriter;
class ServerListDisposer;
class Settings;
class VpnConnection;

// The catalogue of VPN locations and servers published at "client/servers",
// exposed to QML as a two-level tree (locations, each with its servers). It
// asks for the list and wires the pieces that do the work: ServerListReader
// reads an answer, ServerListCacheWriter keeps the last good one per account,
// ConfigFetcher fetches the per-connection configurations and
// NextServerPicker chooses where a failing connection moves. The model keeps
// the current server, favourites, recents and the measured latencies.
class ServersModel : public QAbstractItemModel
{
    Q_OBJECT
    Q_PROPERTY(QStringList specialtySections READ specialtySections NOTIFY specialtySectionsChanged)
    Q_PROPERTY(QVariantMap pingLimits READ pingLimits NOTIFY pingsChanged)
    Q_PROPERTY(QVariantMap pings READ pings NOTIFY pingsChanged)
public:
    enum Roles {
        CountryRole = Qt::UserRole,  // 256 "server_country"
        SupportedProtosRole,         // 257
        ProtocolRole,                // 258
        ChildServersCountRole,       // 259
        FlagRole,                    // 260
        CategoryRole,                // 261
        FavoriteRole,                // 262
        ServerIdRole,                // 263
        CityRole,                    // 264
        SpeedScoreRole,              // 265
        RecencyRole,                 // 266
        HealthRole,                  // 267
        CdnRouteRole,                // 268
    };

    // The server record: one per location and per server; a location owns its servers.
    using Server = ServerRecord;
    using ProtocolTexts = ::ProtocolTexts;
    using PoolRef = ::PoolRef;

    using ConfigHandler = ConfigFetcher::ConfigHandler;
    using ConfigErrorHandler = ConfigFetcher::ConfigErrorHandler;
    using ConfigReply = ::ConfigReply;
    using Hooks = CatalogueHooks;

    struct NextServer {
        Server *server = nullptr;
        bool otherLocation = false;
    };

    static constexpr int kListTimeoutMs = 15000;
    static constexpr int kRateLimitRetryMs = 3000;
    static constexpr int kNoListRetryMs = 5000;
    static constexpr int kRetryMs = 10000;
    static constexpr int kRefreshPeriodMs = 600000;
    static constexpr qint64 kRefreshMinAgeMs = 120000;
    static constexpr int kEmptyConfigTries = ConfigFetcher::kEmptyConfigTries;
    static constexpr qint64 kPingRoundMs = 300000;
    static constexpr qint64 kStateSettleMs = 6500;
    static constexpr qint64 kStateSettleRetryMs = 6600;
    static constexpr int kPingsCoalesceMs = 100;
    // How long reading the saved list waits for this run's own write of it.
    static constexpr int kCacheWaitMs = 5000;

    static const QString &kListCacheFile;

    ServersModel(QSharedPointer<Settings> settings, QSharedPointer<VpnConnection> vpnConnection,
                 QObject *parent = nullptr);
    ~ServersModel() override;

    void setHooks(const Hooks &hooks);
    const Hooks &hooks() const { return m_hooks; }

    // QAbstractItemModel
    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role) override;
    QHash<int, QByteArray> roleNames() const override;

    QStringList specialtySections() const { return m_specialtySections; }
    QVariantMap pingLimits() const;
    QVariantMap pings() const { return m_pings; }

    Q_INVOKABLE void fetchServers();
    Q_INVOKABLE void refreshServers();
    Q_INVOKABLE void toggleFavorite(const QString &serverId);
    Q_INVOKABLE int speedScoreOf(const QString &serverId) const;
    Q_INVOKABLE QVariantList homeServersList(int max) const;
    Q_INVOKABLE QString countryWithCityMatch(const QString &query) const;
    Q_INVOKABLE void reconcileAccount(const QString &email);
    Q_INVOKABLE void getDefaultServer();
    Q_INVOKABLE void changeSelectedServer(const QString &flag, const QString &country);
    Q_INVOKABLE void switchConnection(const QString &serverId);
    Q_INVOKABLE void measurePings();
    // The pages' own: choosing a server while no tunnel runs (a connect then
    // uses it), and what a page shows of one server.
    Q_INVOKABLE bool selectServer(const QString &serverId);
    Q_INVOKABLE QVariantMap serverDetails(const QString &serverId) const;

    void updateCurrentServer(Server *childServer);

    // Fetches the configuration for one server and protocol (see ConfigReply and
    // Hooks for the two routes). forConnect: a connection attempt waits for it.
    void getServerConfig(const QString &configId, VpnProtocol::Protocol protocol, const ConfigHandler &onConfig,
                         bool forConnect, int attempt = 0, const ConfigErrorHandler &onError = {},
                         bool askRecover = false, const QString &transport = {}, bool preferDirect = false);
    // Every configuration fetch a connection attempt still waits for is discarded
    // when its answer comes.
    void bumpConnectAttempt();
    // The HTTP status of the last failed user-facing fetch, 0 after a success.
    int lastConfigFailureStatus() const { return m_configFetcher->lastConfigFailureStatus(); }
    // Whether the last fetch sent asked the backend to restore the peer.
    bool lastFetchAskedRecovery() const { return m_configFetcher->lastFetchAskedRecovery(); }

    bool checkProtocolOffered(const Server *server);
    NextServer pickNextServer(VpnProtocol::Protocol protocol, const QStringList &excludedAddresses);

    // Lookups for the rest of the client.
    const std::vector<std::unique_ptr<Server>> &locations() const { return m_locations; }
    Server *serverById(const QString &serverId) const;
    Server *serverByName(const QString &name, Server **location = nullptr) const;
    Server *serverByConfigId(const QString &configId) const;
    Server *locationByName(const QString &name) const;
    Server *currentServer() const { return m_currentServer; }
    QString currentServerName() const { return m_currentServerName; }
    QString currentConfigId() const { return m_currentConfigId; }
    VpnProtocol::Protocol currentProtocol() const { return m_currentProtocol; }
    QString apiDefaultName() const { return m_apiDefaultName; }
    QString apiDefaultConfigId() const { return m_apiDefaultConfigId; }
    QString apiDefaultIp() const { return m_apiDefaultIp; }
    QString apiDefaultId() const { return m_apiDefaultId; }
    bool restrictedNetworkLikely() const { return m_restrictedLikely; }
    QStringList restrictedNetworkServers() const { return m_restrictedServers; }
    QMap<QString, QStringList> protocolOrders() const { return m_protocolOrders; }
    QHash<QString, QString> poolMemberNames() const { return m_poolMemberNames; }
    QHash<QString, PoolRef> poolMemberIds() const { return m_poolMemberIds; }
    // SHA-1 of the last raw answer body that built the tree (empty when none).
    QByteArray listDigest() const;
    int goodPingMs() const { return m_goodPingMs; }
    int fairPingMs() const { return m_fairPingMs; }

#ifdef KELVRA_TESTING
    void setClockForTesting(std::function<qint64()> clock) { m_clock = std::move(clock); }
    // Divides the waits before follow-up fetches, retries of empty configurations
    // and ping rounds, so tests need not wait for real time.
    void setDelayDivisorForTesting(int divisor) { m_delayDivisor = qMax(1, divisor); }
    QTimer *retryTimerForTesting() { return &m_retryTimer; }
    QTimer *followUpTimerForTesting() { return &m_followUpTimer; }
    QTimer *refreshTimerForTesting() { return &m_refreshTimer; }
    Pinger *pingerForTesting() const { return m_pinger; }
    ServerListCacheWriter *listCacheWriterForTesting() const { return m_cacheWriter.get(); }
    ServerListDisposer *listDisposerForTesting() const { return m_disposer.get(); }
#endif

public slots:
    void parseResponse(QByteArray data, int statusCode);
    void onNetworkRetryTimeout();
    void onProtocolChanged(int protocol);
    // Connected to the VPN connection's connectionStateChanged.
    void onVpnStateChanged(VpnProtocol::ConnectionState state);

signals:
    void serversLoaded();
    void recentsChanged();
    void specialtySectionsChanged();
    void pingsChanged();
    void defaultServer(QString serverName, QString serverFlag, QString serverId, QString serverCity);
    void fastestServer(QString serverName, QString serverFlag, QString serverId, QString serverCity);
    void defaultServerReady();
    void protocolUnavailable(QString message);
    void serverChangedForProtocol(QString message);
    void updateSelectedServer(QString flag, QString country);
    void newConnectAttempt();
    void connectToVpn();

private:
    qint64 nowMs() const;
    int delay(qint64 ms) const { return int(qMax<qint64>(1, ms / m_delayDivisor)); }
    QString accountEmail() const;
    bool signedOut() const;
    bool vpnHasDriver() const;

    // List answer
    bool useCache();
    // Replaces the tree with the one read from an answer, with the reset and
    // insert notifications of a rebuild.
    void adoptTree(ServerList &list);
    void resolvePooledDefaults();
    void applyFavorites();
    void scheduleFollowUp(int ms);
    void retryLater();
    // Signed out, nothing asks for the list: every waiting request of it stops
    // until the next sign-in's fetch. True when signed out.
    bool stopPollingWhenSignedOut();
    void reportRecency();

    // Default server and switching
    void checkApiDefaultServer();
    Server *bestServerFor(VpnProtocol::Protocol protocol) const;
    void announce(const Server *server);
    void setCurrent(Server *server);
    template<typename F> void forEachServer(F f) const;

    // Latency
    void onPingResult(const QString &host, int ms);
    void onPingsIdle();
    void rebuildPings();
    // Indexes the servers by address, once per tree, when a measurement comes.
    void indexPingAddresses();
    QVariant pingEntry(const Server *server) const;

    QSharedPointer<Settings> m_settings;
    QSharedPointer<VpnConnection> m_vpnConnection;
    Hooks m_hooks;
    Pinger *m_pinger = nullptr;

    std::vector<std::unique_ptr<Server>> m_locations;
    ServerList::IdIndex m_byServerId;
    QHash<QString, Server *> m_byName;
    QHash<QString, Server *> m_byConfigId;

    VpnProtocol::Protocol m_currentProtocol = VpnProtocol::Optimal;
    qint64 m_lastFetchMs = -1;
    QByteArray m_listBody;  // the raw body that built the tree; null when none
    QStringList m_specialtySections;
    int m_goodPingMs = 120;
    int m_fairPingMs = 200;
    QMap<QString, QStringList> m_protocolOrders;
    bool m_restrictedLikely = false;
    QStringList m_restrictedRaw;  // as the answer gives them
    QStringList m_restrictedServers;
    QString m_apiDefaultName;
    QString m_apiDefaultConfigId;
    QString m_apiDefaultIp;
    QString m_apiDefaultId;
    QString m_apiDefaultRawName;
    QString m_apiDefaultRawConfigId;
    QHash<QString, QString> m_poolMemberNames;
    QHash<QString, PoolRef> m_poolMemberIds;
    Server *m_currentServer = nullptr;
    QString m_currentServerName;
    QString m_currentConfigId;
    bool m_currentChosen = false;
    bool m_cacheUsed = false;
    bool m_loadingCache = false;
    QStringList m_recents;

    QTimer m_retryTimer;
    QTimer m_followUpTimer;
    QTimer m_refreshTimer;

    ConfigFetcher *m_configFetcher = nullptr;
    std::unique_ptr<ServerListCacheWriter> m_cacheWriter;
    std::unique_ptr<ServerListDisposer> m_disposer;

    QHash<QString, int> m_measuredPings;
    // The servers measured through each address, so that a new measurement
    // touches only their entries: the address's first server in m_pingServers,
    // then a chain through m_nextServerOfAddress (-1 ends it). Empty until the
    // first measurement for the tree.
    QHash<QString, int> m_firstServerOfAddress;
    std::vector<const Server *> m_pingServers;
    std::vector<int> m_nextServerOfAddress;
    QVariantMap m_pings;
    QElapsedTimer m_roundTimer;
    QElapsedTimer m_stateChangeTimer;
    bool m_measuring = false;
    bool m_roundAnswered = false;
    bool m_roundInvalidated = false;
    QTimer m_pingsTimer;

    std::function<qint64()> m_clock;
    int m_delayDivisor = 1;
};
