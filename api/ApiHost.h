#pragma once

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

// Everything the client sends to the backend goes through one access manager.
// It stamps API requests and, while the primary API host cannot be reached,
// sends them to the CDN front hosts instead. The host state is process-wide
// and lives on the GUI thread only.
namespace ApiHost {

enum Attribute {
    // Set on an API request that went to the primary host.
    FallbackAllowedAttribute = QNetworkRequest::User + 41,
    // Set on an API request that went to a backup host, with its index.
    OnBackupAttribute = QNetworkRequest::User + 42,
    BackupIndexAttribute = QNetworkRequest::User + 43,
    // The tunnel generation when the request was made (every request).
    GenerationAttribute = QNetworkRequest::User + 44,
};

enum HostFailure {
    Answered = 0,
    Unreachable = 1,
    NoAnswer = 2,
};

class Manager : public QNetworkAccessManager
{
    Q_OBJECT
public:
    explicit Manager(QObject *parent = nullptr);

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request, QIODevice *outgoingData) override;
};

QSharedPointer<Manager> sharedManager();
// Gives a request made on another access manager the trust this build's API
// requests have (the stand-in build trusts its own test CA only).
void trustBuildCertificates(QNetworkRequest &request);

// How long a request without a time-out of its own may go without moving a
// byte before it is given up.
constexpr int kDefaultTransferTimeoutMs = 30000;

// The API base URL of this build; ends in "/api/".
QString baseUrl();
// The base URL followed by a relative endpoint path ("me", "client/servers").
QString url(const QString &path);
// Says which client sends the request ("X-App-Version", "X-Platform"), as
// every request to the API base does.
void stampClient(QNetworkRequest &request);
// Staging builds (the base URL names a "testapi." host) enable the test aids.
bool isStagingBuild();
QString primaryHost();
QStringList backupHosts();

// The retry decision for a finished reply; true means send it again after
// retryDelayMs(). Call once per finished reply, before reading the body.
bool handleReply(QNetworkReply *reply, const QByteArray &body);
int retryDelayMs();
// A tunnel came up or went down: replies lost in it are not the host's fault.
// Replies still in flight on the shared manager are cut (they end as
// OperationCanceledError under the old generation).
void noteTunnelChange();
// When the last tunnel change was noted, on nowMs()'s clock; -1 if never.
qint64 lastTunnelChangeMs();

HostFailure hostFailure(QNetworkReply::NetworkError error, int httpStatus, const QByteArray &body);
// Hosts a "KELVRA_SIMULATE_FILTERED" value makes unreachable: none in a
// production build or for an empty value.
QStringList simulatedFilteredHosts(const QString &value, bool stagingBuild);

// -1 while API traffic goes to the primary host, else the backup host's index.
int backupIndex();
// Milliseconds on the monotonic clock the host state measures its periods
// with (not a time of day).
qint64 nowMs();

#ifdef KELVRA_TESTING
namespace Testing {
// Points the API at the stand-in's port; the host names stay the build's.
void setApiPort(int port);
// Moves the host state's clock forward, as if that much time had passed.
void advanceClock(qint64 ms);
// Back to the primary host with no retry counts; the filter simulation is
// read from the environment again on the next request.
void resetHostState();
// Shortens (or restores) the bound on requests without a time-out of their own.
void setDefaultTransferTimeout(int ms);
} // namespace Testing
#endif

} // namespace ApiHost
