#include "BackendStandIn.h"

#include "StandInApi.h"
#include "StandInHttp2Connection.h"
#include "StandInHttpConnection.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QSet>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>

namespace {
constexpr qsizetype MaxRecordedRequests = 10000;

QByteArray resource(const QString &name)
{
    QFile file(QStringLiteral(":/kelvra-standin/certs/") + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("backend stand-in: %s missing from the resources", qPrintable(name));
    return file.readAll();
}

// The stand-in host names and the loopback addresses they stand for in the
// test network's hosts file. Names are never looked up: outside the test
// network a lookup could leave the machine.
QString addressOfName(const QString &host)
{
    static const QHash<QString, QString> names{
        {QStringLiteral("testapi.kelvra.test"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("cdn1.testapi.kelvra.test"), QStringLiteral("127.0.0.2")},
        {QStringLiteral("cdn2.testapi.kelvra.test"), QStringLiteral("127.0.0.3")},
    };
    const QHostAddress address(host);
    return address.isNull() ? names.value(host.toLower()) : address.toString();
}
} // namespace

struct BackendStandIn::Listener
{
    QHostAddress address;
    quint16 port = 0;
    QSslServer *server = nullptr; // null while stopped
    TlsFault tlsFault = TlsFault::None;
};

struct BackendStandIn::Script
{
    QString host;
    QString pathPrefix;
    StandInReply reply;
    int remaining = 1;
    QList<QPair<QString, QString>> query; // items the request must carry

    bool matches(const StandInRequest &request) const
    {
        const bool hostMatches = host.isEmpty() || host == request.address
            || host.compare(request.host, Qt::CaseInsensitive) == 0;
        const QString prefix = pathPrefix.startsWith(QLatin1Char('/')) ? pathPrefix : QStringLiteral("/api/") + pathPrefix;
        if (!hostMatches || (!pathPrefix.isEmpty() && !request.path.startsWith(prefix)))
            return false;
        for (const auto &item : query) {
            if (!request.query.hasQueryItem(item.first)
                || request.query.queryItemValue(item.first, QUrl::FullyDecoded) != item.second)
                return false;
        }
        return true;
    }
};

class BackendStandIn::Private
{
public:
    StandInApi *api = nullptr;
    QSslConfiguration tls;
    QList<Listener> listeners;
    QList<Script> scripts;
    QSet<QString> refused; // addresses closed by refuse() scripts
    QList<StandInRequest> requests;
    QSet<StandInConnection *> connections;
    bool http2 = true;
    quint16 port = 0;
    int issued = 0; // devices made by issueToken()
    int idleTimeoutMs = StandInHttpConnection::DefaultIdleTimeoutMs;
};

BackendStandIn::BackendStandIn(QObject *parent)
    : QObject(parent)
    , d(new Private)
{
    qRegisterMetaType<StandInRequest>();
    d->api = new StandInApi(this);
    connect(d->api, &StandInApi::codeMailed, this, &BackendStandIn::codeMailed);
    d->tls = QSslConfiguration::defaultConfiguration();
    d->tls.setLocalCertificate(QSslCertificate(resource(QStringLiteral("server.pem")), QSsl::Pem));
    d->tls.setPrivateKey(QSslKey(resource(QStringLiteral("server.key")), QSsl::Rsa, QSsl::Pem));
    d->tls.setCaCertificates({QSslCertificate(caCertificatePem(), QSsl::Pem)});
    d->tls.setPeerVerifyMode(QSslSocket::VerifyNone); // clients bring no certificate
    setHttp2(true);
}

void BackendStandIn::setHttp2(bool on)
{
    d->http2 = on;
    // Qt's network access offers "h2" and "http/1.1" on HTTPS and takes "h2"
    // when the server picks it; a client that offers nothing (a plain socket)
    // gets HTTP/1.1. Off, nothing is picked, as before the stand-in spoke
    // HTTP/2: Qt's server side fails the handshake of a client whose offer
    // has nothing in common with its own, where picking nothing lets it on.
    d->tls.setAllowedNextProtocols(on ? QList<QByteArray>{QSslConfiguration::ALPNProtocolHTTP2,
                                                          QSslConfiguration::NextProtocolHttp1_1}
                                      : QList<QByteArray>());
    for (const Listener &listener : std::as_const(d->listeners)) {
        if (listener.server)
            listener.server->setSslConfiguration(tlsFor(listener.tlsFault));
    }
}

bool BackendStandIn::isHttp2() const
{
    return d->http2;
}

QSslConfiguration BackendStandIn::tlsFor(TlsFault fault) const
{
    QSslConfiguration tls = d->tls;
    switch (fault) {
    case TlsFault::None:
        break;
    case TlsFault::WrongName:
        tls.setLocalCertificate(QSslCertificate(resource(QStringLiteral("wrong-name.pem")), QSsl::Pem));
        break;
    case TlsFault::Expired:
        tls.setLocalCertificate(QSslCertificate(resource(QStringLiteral("expired.pem")), QSsl::Pem));
        break;
    case TlsFault::UnknownAuthority:
        tls.setLocalCertificate(QSslCertificate(resource(QStringLiteral("unknown-authority.pem")), QSsl::Pem));
        break;
    }
    return tls;
}

void BackendStandIn::setTlsFault(const QHostAddress &address, TlsFault fault)
{
    for (Listener &listener : d->listeners) {
        if (listener.address != address)
            continue;
        listener.tlsFault = fault;
        if (listener.server)
            listener.server->setSslConfiguration(tlsFor(fault));
    }
    const QString text = address.toString();
    const auto open = d->connections;
    for (StandInConnection *connection : open) {
        if (connection->localAddress() == text)
            connection->abort();
    }
}

BackendStandIn::~BackendStandIn()
{
    for (StandInConnection *connection : std::as_const(d->connections)) {
        connection->disconnect(this);
        delete connection;
    }
    for (const Listener &listener : std::as_const(d->listeners))
        delete listener.server;
}

QList<QHostAddress> BackendStandIn::defaultAddresses()
{
    return {QHostAddress(QStringLiteral("127.0.0.1")), QHostAddress(QStringLiteral("127.0.0.2")),
            QHostAddress(QStringLiteral("127.0.0.3"))};
}

bool BackendStandIn::listen(const QList<QHostAddress> &addresses, quint16 port)
{
    bool all = true;
    for (const QHostAddress &address : addresses) {
        Listener listener;
        listener.address = address;
        listener.port = port;
        d->listeners.append(listener);
        resumeListening(address);
        const Listener &added = d->listeners.constLast();
        if (!added.server) {
            all = false;
            continue;
        }
        // A free port taken by the first address is shared by the rest.
        port = added.port;
        if (!d->port) {
            d->port = port;
            d->api->updates().setPort(port);
        }
    }
    return all;
}

quint16 BackendStandIn::port() const
{
    return d->port;
}

QString BackendStandIn::baseUrl() const
{
    return QStringLiteral("https://testapi.kelvra.test:%1/api/").arg(d->port);
}

void BackendStandIn::stopListening(const QHostAddress &address)
{
    for (Listener &listener : d->listeners) {
        if (listener.address != address || !listener.server)
            continue;
        listener.server->close();
        delete listener.server;
        listener.server = nullptr;
    }
    const QString text = address.toString();
    const auto open = d->connections;
    for (StandInConnection *connection : open) {
        if (connection->localAddress() == text)
            connection->abort();
    }
}

void BackendStandIn::resumeListening(const QHostAddress &address)
{
    for (Listener &listener : d->listeners) {
        if (listener.address != address || listener.server)
            continue;
        auto *server = new QSslServer(this);
        server->setSslConfiguration(tlsFor(listener.tlsFault));
        server->setHandshakeTimeout(10000);
        server->setMaxPendingConnections(256);
        if (!server->listen(listener.address, listener.port)) {
            qWarning("backend stand-in: cannot listen on %s port %u: %s", qPrintable(listener.address.toString()),
                     unsigned(listener.port), qPrintable(server->errorString()));
            delete server;
            continue;
        }
        listener.port = server->serverPort();
        listener.server = server;
        connect(server, &QSslServer::pendingConnectionAvailable, this, [this, server] {
            while (server->hasPendingConnections()) {
                auto *socket = qobject_cast<QSslSocket *>(server->nextPendingConnection());
                if (!socket)
                    continue;
                StandInConnection *connection = nullptr;
                if (socket->sslConfiguration().nextNegotiatedProtocol() == QSslConfiguration::ALPNProtocolHTTP2)
                    connection = new StandInHttp2Connection(socket, d->idleTimeoutMs, this);
                else
                    connection = new StandInHttpConnection(socket, d->idleTimeoutMs, this);
                d->connections.insert(connection);
                connect(connection, &StandInConnection::requestReady, this,
                        [this](StandInConnection *c, const StandInRequest &request) { handle(c, request); });
                connect(connection, &StandInConnection::closed, this, [this](StandInConnection *c) {
                    if (d->connections.remove(c))
                        c->deleteLater();
                });
            }
        });
    }
}

void BackendStandIn::setIdleTimeout(int milliseconds)
{
    d->idleTimeoutMs = milliseconds;
}

bool BackendStandIn::isListening(const QHostAddress &address) const
{
    for (const Listener &listener : d->listeners) {
        if (listener.address == address && listener.server)
            return true;
    }
    return false;
}

void BackendStandIn::script(const QString &host, const QString &pathPrefix, const StandInReply &reply, int times)
{
    if (reply.kind == StandInReply::Kind::Refuse) {
        const QString address = addressOfName(host);
        for (const Listener &listener : std::as_const(d->listeners)) {
            const QString text = listener.address.toString();
            if (host.isEmpty() || text == address) {
                d->refused.insert(text);
                stopListening(listener.address);
            }
        }
        return;
    }
    if (times == 0)
        return;
    d->scripts.append(Script{host, pathPrefix, reply, times, {}});
}

void BackendStandIn::script(const QString &host, const QString &pathPrefix, const QUrlQuery &query,
                            const StandInReply &reply, int times)
{
    if (query.isEmpty() || reply.kind == StandInReply::Kind::Refuse) {
        // Refusing closes the address: it can't pick requests by their query.
        script(host, pathPrefix, reply, times);
        return;
    }
    if (times == 0)
        return;
    d->scripts.append(Script{host, pathPrefix, reply, times, query.queryItems(QUrl::FullyDecoded)});
}

void BackendStandIn::scriptRecovery(const StandInReply &reply, int times)
{
    script(QString(), QStringLiteral("client/configuration/"), QUrlQuery(QStringLiteral("recover=1")), reply, times);
}

void BackendStandIn::clearScripts()
{
    d->scripts.clear();
    for (const Listener &listener : std::as_const(d->listeners)) {
        if (listener.tlsFault != TlsFault::None)
            setTlsFault(listener.address, TlsFault::None);
    }
    const auto refused = d->refused;
    d->refused.clear();
    for (const QString &address : refused)
        resumeListening(QHostAddress(address));
}

int BackendStandIn::pendingScripts() const
{
    return int(d->scripts.size());
}

QList<StandInRequest> BackendStandIn::requests() const
{
    return d->requests;
}

QList<StandInRequest> BackendStandIn::requestsTo(const QString &endpointPrefix) const
{
    QList<StandInRequest> list;
    for (const StandInRequest &request : d->requests) {
        if (request.endpoint().startsWith(endpointPrefix))
            list.append(request);
    }
    return list;
}

void BackendStandIn::clearRequests()
{
    d->requests.clear();
}

QStringList BackendStandIn::headerFaults() const
{
    return d->api->headerFaults();
}

void BackendStandIn::handle(StandInConnection *connection, const StandInRequest &request)
{
    // A long-running stand-in keeps only the recent requests.
    if (d->requests.size() >= MaxRecordedRequests)
        d->requests.remove(0, d->requests.size() - MaxRecordedRequests + 1);
    d->requests.append(request);
    emit requestReceived(request);
    if (!d->connections.contains(connection))
        return; // a receiver closed it

    StandInReply reply;
    bool scripted = false;
    for (int i = 0; i < d->scripts.size(); ++i) {
        Script &s = d->scripts[i];
        if (!s.matches(request))
            continue;
        reply = s.reply;
        scripted = true;
        if (s.remaining > 0 && --s.remaining == 0)
            d->scripts.removeAt(i);
        break;
    }
    if (!scripted)
        reply = d->api->answer(request);
    connection->answer(request, reply);
}

QString BackendStandIn::lastCodeFor(const QString &email) const
{
    return d->api->accounts().lastCodeFor(email);
}

QString BackendStandIn::issueToken(const QString &email)
{
    const QJsonObject device{{QStringLiteral("device_os"), QStringLiteral("windows")},
                             {QStringLiteral("device_os_version"), QStringLiteral("11")},
                             {QStringLiteral("device_brand"), QStringLiteral("Test bench")},
                             {QStringLiteral("device_model"), QStringLiteral("Bench %1").arg(++d->issued)}};
    return d->api->accounts().signIn(email, device, QStringLiteral("127.0.0.1"), false);
}

QString BackendStandIn::issueLinkCode(const QString &email)
{
    return d->api->accounts().issueLinkCode(email);
}

StandInSso &BackendStandIn::sso()
{
    return d->api->sso();
}

StandInReports &BackendStandIn::reports()
{
    return d->api->reports();
}

bool BackendStandIn::isTokenValid(const QString &token) const
{
    return d->api->accounts().isTokenValid(token);
}

void BackendStandIn::revokeToken(const QString &token)
{
    d->api->accounts().revoke(token);
}

void BackendStandIn::setDeviceLimit(int limit)
{
    d->api->accounts().setDeviceLimit(limit);
}

void BackendStandIn::setConnectionLimit(int limit)
{
    d->api->accounts().setConnectionLimit(limit);
}

QString BackendStandIn::addDevice(const QString &email, const QJsonObject &fields, bool vpnConnected)
{
    return d->api->accounts().addDevice(email, fields, vpnConnected);
}

QJsonArray BackendStandIn::devices(const QString &email, const QString &currentToken) const
{
    const StandInAccounts &accounts = d->api->accounts();
    const StandInAccounts::Account *account = accounts.find(email);
    return account ? accounts.devicesJson(*account, StandInAccounts::tokenIdOf(currentToken)) : QJsonArray();
}

void BackendStandIn::setSubscription(const QString &email, const QJsonObject &data)
{
    d->api->accounts().setSubscription(email, data);
}

void BackendStandIn::setProbeIp(const QString &ip)
{
    d->api->setProbeIp(ip);
}

void BackendStandIn::setBlocklist(const QStringList &domains, StandInBlocklist::Fault fault)
{
    d->api->blocklist().set(domains, fault);
}

StandInBlocklist BackendStandIn::blocklist() const
{
    return d->api->blocklist();
}

StandInUpdates &BackendStandIn::updates()
{
    return d->api->updates();
}

StandInEngagement &BackendStandIn::engagement()
{
    return d->api->engagement();
}

void BackendStandIn::setEngagementFault(const QString &route, int fault, int times)
{
    d->api->engagement().setFault(route, StandInEngagement::Fault(fault), times);
}

QJsonObject BackendStandIn::catalogue() const
{
    return d->api->catalogue().serversAnswer();
}

QStringList BackendStandIn::catalogueAddresses() const
{
    return d->api->catalogue().addresses();
}

QStringList BackendStandIn::cloudflareFrontAddresses() const
{
    return d->api->catalogue().frontAddresses();
}

QByteArray BackendStandIn::caCertificatePem()
{
    return resource(QStringLiteral("ca.pem"));
}

QString BackendStandIn::caCertificatePath()
{
    static const QString path = [] {
        const QString source = QStringLiteral(KELVRA_STANDIN_CA_PATH);
        if (QFile::exists(source))
            return source;
        // Built elsewhere than the sources: keep a copy in the temporary folder.
        const QString copy = QDir::temp().filePath(QStringLiteral("kelvra-standin-ca.pem"));
        QSaveFile file(copy);
        if (file.open(QIODevice::WriteOnly)) {
            file.write(caCertificatePem());
            file.commit();
        }
        return copy;
    }();
    return path;
}
