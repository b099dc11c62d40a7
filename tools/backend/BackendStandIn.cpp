#include "BackendStandIn.h"

// Implementation follows; this keeps the interface buildable for the client tests.
class BackendStandIn::Private {};

BackendStandIn::BackendStandIn(QObject *parent) : QObject(parent), d(new Private) {}
BackendStandIn::~BackendStandIn() = default;
QList<QHostAddress> BackendStandIn::defaultAddresses()
{
    return {QHostAddress(QStringLiteral("127.0.0.1")), QHostAddress(QStringLiteral("127.0.0.2")),
            QHostAddress(QStringLiteral("127.0.0.3"))};
}
bool BackendStandIn::listen(const QList<QHostAddress> &, quint16) { return false; }
quint16 BackendStandIn::port() const { return 0; }
QString BackendStandIn::baseUrl() const { return QString(); }
void BackendStandIn::stopListening(const QHostAddress &) {}
void BackendStandIn::resumeListening(const QHostAddress &) {}
bool BackendStandIn::isListening(const QHostAddress &) const { return false; }
void BackendStandIn::script(const QString &, const QString &, const StandInReply &, int) {}
void BackendStandIn::clearScripts() {}
int BackendStandIn::pendingScripts() const { return 0; }
QList<StandInRequest> BackendStandIn::requests() const { return {}; }
QList<StandInRequest> BackendStandIn::requestsTo(const QString &) const { return {}; }
void BackendStandIn::clearRequests() {}
QString BackendStandIn::lastCodeFor(const QString &) const { return QString(); }
QString BackendStandIn::issueToken(const QString &) { return QString(); }
QString BackendStandIn::issueLinkCode(const QString &) { return QString(); }
bool BackendStandIn::isTokenValid(const QString &) const { return false; }
void BackendStandIn::revokeToken(const QString &) {}
void BackendStandIn::setDeviceLimit(int) {}
void BackendStandIn::setConnectionLimit(int) {}
QString BackendStandIn::addDevice(const QString &, const QJsonObject &, bool) { return QString(); }
QJsonArray BackendStandIn::devices(const QString &, const QString &) const { return {}; }
void BackendStandIn::setSubscription(const QString &, const QJsonObject &) {}
void BackendStandIn::setProbeIp(const QString &) {}
QJsonObject BackendStandIn::catalogue() const { return {}; }
QStringList BackendStandIn::catalogueAddresses() const { return {}; }
QByteArray BackendStandIn::caCertificatePem() { return QByteArray(); }
QString BackendStandIn::caCertificatePath() { return QString(); }
