#include "api/ApiHost.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QUrl>

#include "api/SlowTransferGuard.h"
#include "app/Logger.h"

namespace {

Logger logger(QStringLiteral("ApiHost"));

#if defined(KELVRA_STANDIN)
// The loopback stand-in; its host names exist only in the test namespace.
const char kBaseUrl[] = "https://testapi.kelvra.test:8443/api/";
const char *const kStagingBackups[] = {"cdn1.testapi.kelvra.test", "cdn2.testapi.kelvra.test"};
#elif defined(KELVRA_STAGING)
const char kBaseUrl[] = "https://testapi.kelvra.com/api/";
const char *const kStagingBackups[] = {"cdn1.testapi.kelvra.com", "cdn2.testapi.kelvra.com"};
#else
const char kBaseUrl[] = "https://api.kelvra.com/api/";
const char *const kStagingBackups[] = {"cdn1.testapi.kelvra.com", "cdn2.testapi.kelvra.com"};
#endif
const char *const kProductionBackups[] = {"api-edge1.kelvracdn.net", "api-edge2.kelvracdn.net"};

#if defined(KELVRA_STANDIN)
// The stand-in build trusts its own test CA and nothing else.
const char kStandInCaResource[] = ":/api/ca.pem";
#endif

const char kFilteredHost[] = "filtered.invalid";
constexpr qint64 kBackToPrimaryMs = 599999;
constexpr qint64 kNever = -1;
constexpr quint64 kTunnelChangeWindowMs = 9999;
const int kRetryDelaysMs[] = {0, 500, 1000, 2000, 4000};
constexpr int kMaxRetryIndex = 4;

struct HostState
{
    int backupIndex = -1;
    qint64 backupSince = 0;
    int generation = 0;
    qint64 lastTunnelChange = kNever;
    QHash<QString, int> retryCounts;
    int retryCountsGeneration = -1;
    int nextRetryDelay = 0;
    bool filterRead = false;
    QStringList filteredHosts;
    qint64 clockOffset = 0;
    int portOverride = 0;
};

HostState &state()
{
    static HostState s;
    return s;
}

const QStringList &filteredHosts()
{
    HostState &s = state();
    if (!s.filterRead) {
        s.filterRead = true;
        const bool staging = ApiHost::isStagingBuild();
        const QString value = staging ? qEnvironmentVariable("KELVRA_SIMULATE_FILTERED") : QString();
        s.filteredHosts = ApiHost::simulatedFilteredHosts(value, staging);
        if (!s.filteredHosts.isEmpty())
            logger.warning() << "Simulating filtered API hosts:" << s.filteredHosts;
    }
    return s.filteredHosts;
}

#if defined(KELVRA_STANDIN)
QList<QSslCertificate> standInCertificates()
{
    static const QList<QSslCertificate> certificates = [] {
        QFile file(QString::fromLatin1(kStandInCaResource));
        QList<QSslCertificate> list;
        if (file.open(QIODevice::ReadOnly))
            list = QSslCertificate::fromData(file.readAll(), QSsl::Pem);
        if (list.isEmpty())
            logger.error() << "The stand-in CA is missing from this build: no API host will be trusted";
        return list;
    }();
    return certificates;
}

void trustOnlyStandIn(QNetworkRequest &request)
{
    QSslConfiguration configuration = request.sslConfiguration();
    configuration.setCaCertificates(standInCertificates());
    request.setSslConfiguration(configuration);
}
#endif

QString formatted(const char *pattern)
{
    return QString::fromLatin1(pattern);
}

} // namespace

namespace ApiHost {

Manager::Manager(QObject *parent)
    : QNetworkAccessManager(parent)
{
}

QNetworkReply *Manager::createRequest(Operation op, const QNetworkRequest &original, QIODevice *outgoingData)
{
    HostState &s = state();
    QNetworkRequest request(original);
    QUrl url = request.url();

    if (url.host(QUrl::FullyDecoded) == primaryHost()) {
        if (!request.hasRawHeader("Accept"))
            request.setRawHeader("Accept", "application/json");
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);

        if (s.backupIndex >= 0 && nowMs() - s.backupSince > kBackToPrimaryMs) {
            s.backupIndex = -1;
            logger.warning() << formatted("API: 10 min on the backup host, trying %1 again").arg(primaryHost());
        }
        const QStringList backups = backupHosts();
        if (s.backupIndex >= 0 && s.backupIndex < backups.size()) {
            url.setHost(backups.at(s.backupIndex));
            request.setAttribute(QNetworkRequest::Attribute(OnBackupAttribute), true);
            request.setAttribute(QNetworkRequest::Attribute(BackupIndexAttribute), s.backupIndex);
        } else {
            request.setAttribute(QNetworkRequest::Attribute(FallbackAllowedAttribute), true);
        }
    }
    request.setAttribute(QNetworkRequest::Attribute(GenerationAttribute), s.generation);

    if (filteredHosts().contains(url.host(QUrl::FullyDecoded)))
        url.setHost(QString::fromLatin1(kFilteredHost));
    request.setUrl(url);
#if defined(KELVRA_STANDIN)
    trustOnlyStandIn(request);
#endif
    QNetworkReply *reply = QNetworkAccessManager::createRequest(op, request, outgoingData);
    SlowTransferGuard::watch(reply, request.transferTimeout() > 0 ? request.transferTimeout() : transferTimeout());
    return reply;
}

QSharedPointer<Manager> sharedManager()
{
    static QSharedPointer<Manager> manager;
    if (!manager) {
#if defined(KELVRA_STANDIN)
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setCaCertificates(standInCertificates());
        QSslConfiguration::setDefaultConfiguration(configuration);
#endif
        manager = QSharedPointer<Manager>::create();
        // A request that never hears back (a host that accepts and stays
        // silent) must still end, with or without a time-out of its own.
        manager->setTransferTimeout(kDefaultTransferTimeoutMs);
        // Let go of it while the application object still exists: the
        // network stack cannot be torn down after it.
        qAddPostRoutine([] { manager.reset(); });
    }
    return manager;
}

void trustBuildCertificates(QNetworkRequest &request)
{
#if defined(KELVRA_STANDIN)
    trustOnlyStandIn(request);
#else
    Q_UNUSED(request)
#endif
}

QString baseUrl()
{
#ifdef KELVRA_TESTING
    if (state().portOverride > 0) {
        QUrl url(QString::fromLatin1(kBaseUrl));
        url.setPort(state().portOverride);
        return url.toString();
    }
#endif
    return QString::fromLatin1(kBaseUrl);
}

void stampClient(QNetworkRequest &request)
{
    request.setRawHeader("X-App-Version", KELVRA_VERSION);
    request.setRawHeader("X-Platform", "windows");
}

QString url(const QString &path)
{
    return baseUrl() + path;
}

bool isStagingBuild()
{
    return QString::fromLatin1(kBaseUrl).contains(QLatin1String("testapi."));
}

QString primaryHost()
{
    return QUrl(QString::fromLatin1(kBaseUrl)).host(QUrl::FullyDecoded);
}

QStringList backupHosts()
{
    static const QStringList hosts = [] {
        QStringList list;
        if (isStagingBuild()) {
            for (const char *host : kStagingBackups)
                list << QString::fromLatin1(host);
        } else {
            for (const char *host : kProductionBackups)
                list << QString::fromLatin1(host);
        }
        return list;
    }();
    return hosts;
}

QStringList simulatedFilteredHosts(const QString &value, bool stagingBuild)
{
    QStringList hosts;
    if (!stagingBuild || value.isEmpty())
        return hosts;
    hosts << primaryHost();
    const QStringList backups = backupHosts();
    if (value == QLatin1String("all"))
        hosts << backups;
    else if (value == QLatin1String("backup") && !backups.isEmpty())
        hosts << backups.first();
    return hosts;
}

HostFailure hostFailure(QNetworkReply::NetworkError error, int httpStatus, const QByteArray &body)
{
    const bool notJson = !body.isEmpty() && QJsonDocument::fromJson(body).isNull();
    if (notJson || error == QNetworkReply::ConnectionRefusedError || error == QNetworkReply::HostNotFoundError
        || error == QNetworkReply::SslHandshakeFailedError)
        return Unreachable;
    if (error == QNetworkReply::NoError || httpStatus != 0)
        return Answered;
    return NoAnswer;
}

bool handleReply(QNetworkReply *reply, const QByteArray &body)
{
    HostState &s = state();
    s.nextRetryDelay = 0;
    if (!reply)
        return false;

    const QNetworkRequest request = reply->request();
    const QNetworkAccessManager::Operation op = reply->operation();
    const bool idempotent = op == QNetworkAccessManager::HeadOperation || op == QNetworkAccessManager::GetOperation;
    const QVariant generation = request.attribute(QNetworkRequest::Attribute(GenerationAttribute));
    const bool olderGeneration = generation.isValid() && generation.toInt() != s.generation;
    const QNetworkReply::NetworkError error = reply->error();

    // Cut by a tunnel change: not the host's doing.
    if (error == QNetworkReply::OperationCanceledError && olderGeneration)
        return idempotent;

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const HostFailure kind = hostFailure(error, status, body);
    const QUrl url = reply->url();

    const bool inWindow =
        s.lastTunnelChange != kNever && quint64(nowMs() - s.lastTunnelChange) <= kTunnelChangeWindowMs;
    const bool acrossTunnelChange = (error == QNetworkReply::HostNotFoundError && inWindow)
                                    || (kind == NoAnswer && (olderGeneration || inWindow));
    if (acrossTunnelChange) {
        logger.warning() << formatted("API: %1%2 failed across a tunnel change (error %3): not counted against the host")
                                .arg(url.host(), url.path())
                                .arg(int(error));
        if (idempotent) {
            if (s.retryCountsGeneration != s.generation) {
                s.retryCounts.clear();
                s.retryCountsGeneration = s.generation;
            }
            const QString path = url.path();
            const int count = s.retryCounts.value(path, 0);
            s.nextRetryDelay = kRetryDelaysMs[qMin(count, kMaxRetryIndex)];
            s.retryCounts.insert(path, count + 1);
        }
        return idempotent;
    }

    const QStringList backups = backupHosts();
    if (request.attribute(QNetworkRequest::Attribute(OnBackupAttribute)).toBool()) {
        if (kind == Answered || s.backupIndex == -1)
            return false;
        const int used = request.attribute(QNetworkRequest::Attribute(BackupIndexAttribute)).toInt();
        if (s.backupIndex == used) {
            const int next = used + 1 < backups.size() ? used + 1 : -1;
            s.backupIndex = next;
            if (next == -1) {
                logger.warning() << formatted("API: no backup host answered (error %1), back to %2")
                                        .arg(int(error))
                                        .arg(primaryHost());
                return false;
            }
            logger.warning() << formatted("API: %1 didn't answer either (error %2), trying %3")
                                    .arg(backups.value(used))
                                    .arg(int(error))
                                    .arg(backups.at(next));
        }
        return kind == Unreachable || idempotent;
    }

    const bool mayMove = request.attribute(QNetworkRequest::Attribute(FallbackAllowedAttribute)).toBool()
                         && !backups.isEmpty() && kind != Answered;
    if (!mayMove)
        return false;
    if (s.backupIndex == -1) {
        s.backupIndex = 0;
        s.backupSince = nowMs();
        logger.warning() << formatted("API: %1 didn't answer (%2, error %3), using the backup host for this run")
                                .arg(primaryHost(), url.path())
                                .arg(int(error));
    }
    return kind == Unreachable || idempotent;
}

int retryDelayMs()
{
    return state().nextRetryDelay;
}

qint64 lastTunnelChangeMs()
{
    return state().lastTunnelChange;
}

void noteTunnelChange()
{
    HostState &s = state();
    ++s.generation;
    s.lastTunnelChange = nowMs();

    // Clearing the cache stops the thread that carries every reply in flight;
    // those replies would never finish, and the ones without a time-out of
    // their own would wait for good. Aborted, they end as cut by this change
    // (a GET is sent again). The abort is queued so that no owner's reply
    // handling runs inside the caller's state change.
    const QSharedPointer<Manager> manager = sharedManager();
    QList<QPointer<QNetworkReply>> orphaned;
    const QList<QNetworkReply *> replies = manager->findChildren<QNetworkReply *>(Qt::FindDirectChildrenOnly);
    for (QNetworkReply *reply : replies) {
        if (reply->isRunning())
            orphaned << reply;
    }
    manager->clearConnectionCache();
    for (const QPointer<QNetworkReply> &reply : orphaned) {
        QMetaObject::invokeMethod(
            reply,
            [reply] {
                if (reply && reply->isRunning())
                    reply->abort();
            },
            Qt::QueuedConnection);
    }
}

int backupIndex()
{
    return state().backupIndex;
}

qint64 nowMs()
{
    // Durations only: a monotonic clock, so that setting the system clock
    // neither ends the backup period nor opens the tunnel-change window.
    static const QElapsedTimer clock = [] {
        QElapsedTimer timer;
        timer.start();
        return timer;
    }();
    return clock.elapsed() + state().clockOffset;
}

#ifdef KELVRA_TESTING
namespace Testing {

void setApiPort(int port)
{
    state().portOverride = port;
}

void advanceClock(qint64 ms)
{
    state().clockOffset += ms;
}

void resetHostState()
{
    HostState &s = state();
    s.backupIndex = -1;
    s.backupSince = 0;
    s.lastTunnelChange = kNever;
    s.retryCounts.clear();
    s.retryCountsGeneration = -1;
    s.nextRetryDelay = 0;
    s.filterRead = false;
    s.filteredHosts.clear();
}

void setDefaultTransferTimeout(int ms)
{
    sharedManager()->setTransferTimeout(ms);
}

} // namespace Testing
#endif

} // namespace ApiHost
