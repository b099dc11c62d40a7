// The backend stand-in is what every client API test runs against, so it is
// checked through real TLS connections and a real QNetworkAccessManager:
// certificates, scripted failures, the account flow, hostile requests and
// the seed catalogue.
#include "support/TestEnvironment.h"
#include "tools/backend/BackendStandIn.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTest>
#include <QProcess>
#include <QTcpServer>
#include <QTimer>
#include <QEventLoop>
#include <QElapsedTimer>
#include <QUrlQuery>

#include <memory>

namespace {
const QString Primary = QStringLiteral("testapi.kelvra.test");
const QString Cdn1 = QStringLiteral("cdn1.testapi.kelvra.test");
const QString Cdn2 = QStringLiteral("cdn2.testapi.kelvra.test");

struct Answer
{
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int status = 0;
    QByteArray body;
    QHash<QByteArray, QByteArray> headers; // lower-cased names
    bool http2 = false;                    // the answer came over HTTP/2

    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

QSslConfiguration trustingStandIn()
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates({QSslCertificate(BackendStandIn::caCertificatePem(), QSsl::Pem)});
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    return tls;
}

QSet<QString> namespaceAddresses()
{
    QFile file(QStringLiteral(KELVRA_SOURCE_DIR "/scripts/netns-addresses.txt"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QSet<QString> set;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QByteArray address = line.trimmed().split('/').first();
        if (!address.isEmpty())
            set.insert(QString::fromLatin1(address));
    }
    return set;
}

// An HTTP/2 frame as it travels: 9 bytes of head, then the payload.
QByteArray frame(quint8 type, quint8 flags, quint32 stream, const QByteArray &payload)
{
    const quint32 length = quint32(payload.size());
    QByteArray out;
    out += char(length >> 16);
    out += char(length >> 8);
    out += char(length);
    out += char(type);
    out += char(flags);
    out += char((stream >> 24) & 0x7f);
    out += char(stream >> 16);
    out += char(stream >> 8);
    out += char(stream);
    return out + payload;
}

// The client connection preface and its (empty) SETTINGS.
QByteArray preface()
{
    return QByteArray("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n") + frame(0x4, 0, 0, QByteArray());
}

// The frames a server sent, as (type, error code) pairs; the error code is
// read from RST_STREAM (3) and GOAWAY (7) frames, -1 elsewhere.
QList<QPair<int, int>> framesOf(const QByteArray &bytes)
{
    QList<QPair<int, int>> frames;
    qsizetype at = 0;
    while (at + 9 <= bytes.size()) {
        const auto byte = [&bytes](qsizetype i) { return quint32(quint8(bytes.at(i))); };
        const qsizetype length = qsizetype(byte(at) << 16 | byte(at + 1) << 8 | byte(at + 2));
        const int type = int(byte(at + 3));
        const qsizetype code = type == 3 ? at + 9 : type == 7 ? at + 13 : -1;
        int error = -1;
        if (code >= 0 && code + 4 <= bytes.size())
            error = int(byte(code) << 24 | byte(code + 1) << 16 | byte(code + 2) << 8 | byte(code + 3));
        frames.append({type, error});
        at += 9 + length;
    }
    return frames;
}
} // namespace

class tst_BackendStandIn : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase_data();
    void init();
    void cleanup();

    void tlsHandshakeValidatesAgainstTheStandInCa_data();
    void tlsHandshakeValidatesAgainstTheStandInCa();
    void scriptedBehaviourReachesTheClient_data();
    void scriptedBehaviourReachesTheClient();
    void scriptsCountDownPerHostAndPath();
    void recoveryAnswersReachOnlyRecoveryRequests_data();
    void recoveryAnswersReachOnlyRecoveryRequests();
    void refusedHostClosesKeptAliveConnectionsAndReopens();
    void codeSignInProfileDevicesAndSignOut();
    void deviceAndConnectionLimitsArise();
    void hostileRequestsGetRefusedAndTheServerLives_data();
    void hostileRequestsGetRefusedAndTheServerLives();
    void randomGarbageNeverStopsTheServer();
    void keepAliveAnswersPipelinedRequestsInOrder();
    void idleAndHalfSentRequestsAreClosed();
    void manyClientsAtOnceAreAllAnswered();
    void connectivityProbeAndCloudflareFront();
    void seedCatalogueUsesOnlyTestNetworkAddresses();
    void configurationsInEveryForm_data();
    void configurationsInEveryForm();
    void runProgramPrintsMailedCodes();
    void blocklistWithItsTagAndFaults_data();
    void blocklistWithItsTagAndFaults();
    void certificateFaults_data();
    void certificateFaults();
    void missingClientHeadersAreRefusedLoudly_data();
    void missingClientHeadersAreRefusedLoudly();
    void clientSpeaksTheOfferedVersion();
    void stalledRequestHoldsBackNoOther();
    void transferFaultsReachTheClient_data();
    void transferFaultsReachTheClient();
    void headerCheckAppliesToEitherVersion();
    void http2ExchangesAtTheFrameLevel_data();
    void http2ExchangesAtTheFrameLevel();

private:
    void needPrivateNetwork();
    Answer get(const QString &host, const QString &path, const QString &token = QString(), int timeoutMs = 0);
    Answer post(const QString &host, const QString &path, const QJsonObject &body, const QString &token = QString());
    Answer send(QNetworkRequest request, const QByteArray &verb, const QByteArray &body);
    QNetworkReply *start(QNetworkRequest request, const QByteArray &verb, const QByteArray &body);
    static Answer finish(QNetworkReply *reply);
    QString signIn(const QString &email, const QString &model);
    QByteArray raw(const QByteArray &bytes, const QString &address = QStringLiteral("127.0.0.1"),
                   const QList<QByteArray> &offered = {});

    std::unique_ptr<BackendStandIn> m_standIn;
    std::unique_ptr<QNetworkAccessManager> m_nam;
};

// Every test runs over both versions the stand-in speaks: HTTP/2, which Qt's
// network access offers and takes on every HTTPS request, and HTTP/1.1.
void tst_BackendStandIn::initTestCase_data()
{
    QTest::addColumn<bool>("http2");
    QTest::newRow("HTTP/2") << true;
    QTest::newRow("HTTP/1.1") << false;
}

void tst_BackendStandIn::init()
{
    QFETCH_GLOBAL(bool, http2);
    m_standIn = std::make_unique<BackendStandIn>();
    m_standIn->setHttp2(http2);
    QVERIFY(m_standIn->listen(BackendStandIn::defaultAddresses()));
    QVERIFY(m_standIn->port() > 0);
    // A fresh manager per test: no kept-alive connection crosses tests.
    m_nam = std::make_unique<QNetworkAccessManager>();
    m_nam->setProxy(QNetworkProxy::NoProxy);
}

void tst_BackendStandIn::cleanup()
{
    m_nam.reset();
    m_standIn.reset();
}

void tst_BackendStandIn::recoveryAnswersReachOnlyRecoveryRequests_data()
{
    QTest::addColumn<StandInReply>("reply");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error");      // the body's "error" when it is a text
    QTest::addColumn<QByteArray>("retryAfter");
    QTest::newRow("node unavailable") << StandInReply::nodeUnavailable() << 503 << "Node unavailable" << QByteArray();
    QTest::newRow("config fetch failed") << StandInReply::configFetchFailed() << 500 << "Failed to fetch config"
                                         << QByteArray();
    QTest::newRow("peer alive") << StandInReply::peerAlive() << 409 << "The peer is connected; nothing to recover."
                                << QByteArray();
    QTest::newRow("recover limit, seconds") << StandInReply::recoverLimited("90") << 429 << QString() << QByteArray("90");
    QTest::newRow("recover limit, no number") << StandInReply::recoverLimited("soon") << 429 << QString()
                                              << QByteArray("soon");
}

// A recovery request (recover=1) gets the scripted refusal; the same fetch
// without it, and other servers' fetches, are answered as usual.
void tst_BackendStandIn::recoveryAnswersReachOnlyRecoveryRequests()
{
    QFETCH(StandInReply, reply);
    QFETCH(int, status);
    QFETCH(QString, error);
    QFETCH(QByteArray, retryAfter);
    needPrivateNetwork();
    const QString token = m_standIn->issueToken(QStringLiteral("recover@kelvra.test"));
    const QString plain = QStringLiteral("/api/client/configuration/de-ber%3A1?vpn_type=WireGuard");
    m_standIn->scriptRecovery(reply, 1);

    QCOMPARE(get(Primary, plain, token).status, 200);
    const Answer refused = get(Primary, plain + QStringLiteral("&recover=1"), token);
    QCOMPARE(refused.status, status);
    if (!error.isEmpty())
        QCOMPARE(refused.json().value("error").toString(), error);
    QCOMPARE(refused.headers.value("retry-after"), retryAfter);
    // Spent: the next recovery request is the backend's own again.
    const Answer restored = get(Primary, plain + QStringLiteral("&recover=1"), token);
    QCOMPARE(restored.status, 200);
    QCOMPARE(restored.json().value("recreated").toBool(), true);
}

void tst_BackendStandIn::needPrivateNetwork()
{
    if (!TestEnvironment::inPrivateNetwork())
        QSKIP("needs the test network namespace (scripts/netns.sh) for the stand-in host names");
}

Answer tst_BackendStandIn::send(QNetworkRequest request, const QByteArray &verb, const QByteArray &body)
{
    return finish(start(request, verb, body));
}

QNetworkReply *tst_BackendStandIn::start(QNetworkRequest request, const QByteArray &verb, const QByteArray &body)
{
    request.setSslConfiguration(trustingStandIn());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setRawHeader("Accept", "application/json");
    // What the client's request object stamps on its API requests.
    if (!request.hasRawHeader("X-Platform")) {
        request.setRawHeader("X-App-Version", "3.7.8");
        request.setRawHeader("X-Platform", "windows");
    }
    return m_nam->sendCustomRequest(request, verb, body);
}

Answer tst_BackendStandIn::finish(QNetworkReply *reply)
{
    QSignalSpy finished(reply, &QNetworkReply::finished);
    // The 300,000-name block list takes the sanitizers well over half a minute.
    const int waitMs = TestEnvironment::underAddressSanitizer() ? 120000 : 30000;
    if (!reply->isFinished() && !finished.wait(waitMs))
        qWarning("request did not finish");
    Answer answer;
    answer.error = reply->error();
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.http2 = reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool();
    if (reply->isOpen())
        answer.body = reply->readAll();
    for (const auto &pair : reply->rawHeaderPairs())
        answer.headers.insert(pair.first.toLower(), pair.second);
    reply->deleteLater();
    return answer;
}

Answer tst_BackendStandIn::get(const QString &host, const QString &path, const QString &token, int timeoutMs)
{
    QNetworkRequest request(QUrl(QStringLiteral("https://%1:%2%3").arg(host).arg(m_standIn->port()).arg(path)));
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    if (timeoutMs > 0)
        request.setTransferTimeout(timeoutMs);
    return send(request, "GET", QByteArray());
}

Answer tst_BackendStandIn::post(const QString &host, const QString &path, const QJsonObject &body, const QString &token)
{
    QNetworkRequest request(QUrl(QStringLiteral("https://%1:%2%3").arg(host).arg(m_standIn->port()).arg(path)));
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    return send(request, "POST", QJsonDocument(body).toJson(QJsonDocument::Compact));
}

QString tst_BackendStandIn::signIn(const QString &email, const QString &model)
{
    const Answer code = post(Primary, QStringLiteral("/api/auth/get-login-code"), {{"email", email}});
    if (code.status != 200)
        return QString();
    const Answer login = post(Primary, QStringLiteral("/api/auth/code-login"),
                              {{"email", email}, {"code", m_standIn->lastCodeFor(email)}, {"device_os", "windows"},
                               {"device_os_version", "10.0"}, {"device_brand", "Bench"}, {"device_model", model}});
    return login.json().value("data").toObject().value("token").toString();
}

// Runs the event loop (the stand-in lives on this thread) until the socket
// has something to say: data, a finished handshake, an error or a close.
static bool waitForSocket(QSslSocket &socket, int timeoutMs)
{
    QEventLoop loop;
    bool happened = false;
    const auto quit = [&] {
        happened = true;
        loop.quit();
    };
    QObject::connect(&socket, &QSslSocket::readyRead, &loop, quit);
    QObject::connect(&socket, &QSslSocket::encrypted, &loop, quit);
    QObject::connect(&socket, &QSslSocket::disconnected, &loop, quit);
    QObject::connect(&socket, &QSslSocket::errorOccurred, &loop, quit);
    QObject::connect(&socket, &QSslSocket::sslErrors, &loop, quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return happened;
}

static bool encrypt(QSslSocket &socket, const QString &address, quint16 port, const QString &peerName,
                    const QList<QByteArray> &offered = {})
{
    socket.setProxy(QNetworkProxy::NoProxy);
    QSslConfiguration tls = trustingStandIn();
    tls.setAllowedNextProtocols(offered);
    socket.setSslConfiguration(tls);
    socket.connectToHostEncrypted(address, port, peerName);
    QElapsedTimer timer;
    timer.start();
    while (!socket.isEncrypted() && socket.state() != QAbstractSocket::UnconnectedState && timer.elapsed() < 10000)
        waitForSocket(socket, 1000);
    return socket.isEncrypted();
}

// Sends raw bytes over TLS and returns whatever comes back before the server
// closes or goes quiet.
QByteArray tst_BackendStandIn::raw(const QByteArray &bytes, const QString &address, const QList<QByteArray> &offered)
{
    QSslSocket socket;
    if (!encrypt(socket, address, m_standIn->port(), Primary, offered))
        return "no handshake: " + socket.errorString().toUtf8();
    socket.write(bytes);
    QByteArray received;
    // Enough for an answer; a closed connection ends the wait at once.
    while (socket.state() == QAbstractSocket::ConnectedState && waitForSocket(socket, 3000))
        received += socket.readAll();
    received += socket.readAll();
    return received;
}

void tst_BackendStandIn::tlsHandshakeValidatesAgainstTheStandInCa_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("peerName");
    QTest::addColumn<bool>("valid");
    QTest::newRow("primary name") << "127.0.0.1" << Primary << true;
    QTest::newRow("first backup name") << "127.0.0.2" << Cdn1 << true;
    QTest::newRow("second backup name") << "127.0.0.3" << Cdn2 << true;
    QTest::newRow("address itself") << "127.0.0.2" << "127.0.0.2" << true;
    QTest::newRow("name not on the certificate") << "127.0.0.1" << "api.kelvra.test" << false;
}

void tst_BackendStandIn::tlsHandshakeValidatesAgainstTheStandInCa()
{
    QFETCH(QString, address);
    QFETCH(QString, peerName);
    QFETCH(bool, valid);
    QSslSocket socket;
    QSignalSpy errors(&socket, &QSslSocket::sslErrors);
    QCOMPARE(encrypt(socket, address, m_standIn->port(), peerName), valid);
    if (!valid) {
        QVERIFY(!errors.isEmpty());
        const auto list = errors.first().first().value<QList<QSslError>>();
        QVERIFY(std::any_of(list.begin(), list.end(),
                            [](const QSslError &e) { return e.error() == QSslError::HostNameMismatch; }));
    }

    // The same through the client's own machinery, by host name.
    if (valid && !QHostAddress(peerName).isNull())
        return;
    needPrivateNetwork();
    const Answer answer = get(peerName, QStringLiteral("/api/me"));
    if (valid) {
        QCOMPARE(answer.status, 401);
    } else {
        QCOMPARE(answer.error, QNetworkReply::HostNotFoundError); // not in the test hosts file
    }
}

void tst_BackendStandIn::certificateFaults_data()
{
    QTest::addColumn<BackendStandIn::TlsFault>("fault");
    QTest::addColumn<int>("error");
    QTest::newRow("another name") << BackendStandIn::TlsFault::WrongName << int(QSslError::HostNameMismatch);
    QTest::newRow("expired") << BackendStandIn::TlsFault::Expired << int(QSslError::CertificateExpired);
    QTest::newRow("unknown authority") << BackendStandIn::TlsFault::UnknownAuthority
                                       << int(QSslError::UnableToGetLocalIssuerCertificate);
}

// Each faulty certificate fails the handshake for its own reason, on its
// address only, until the scripts are cleared.
void tst_BackendStandIn::certificateFaults()
{
    QFETCH(BackendStandIn::TlsFault, fault);
    QFETCH(int, error);
    m_standIn->setTlsFault(QHostAddress(QStringLiteral("127.0.0.1")), fault);
    QSslSocket socket;
    QSignalSpy errors(&socket, &QSslSocket::sslErrors);
    QVERIFY(!encrypt(socket, QStringLiteral("127.0.0.1"), m_standIn->port(), Primary));
    QVERIFY(!errors.isEmpty());
    const auto list = errors.first().first().value<QList<QSslError>>();
    QVERIFY(std::any_of(list.begin(), list.end(), [error](const QSslError &e) { return int(e.error()) == error; }));

    QSslSocket other;
    QVERIFY(encrypt(other, QStringLiteral("127.0.0.2"), m_standIn->port(), Cdn1));
    m_standIn->clearScripts();
    QSslSocket again;
    QVERIFY(encrypt(again, QStringLiteral("127.0.0.1"), m_standIn->port(), Primary));
}

void tst_BackendStandIn::missingClientHeadersAreRefusedLoudly_data()
{
    QTest::addColumn<QByteArray>("drop");
    QTest::addColumn<QString>("fault");
    QTest::newRow("version") << QByteArray("X-App-Version") << "POST auth/get-login-code: X-App-Version";
    QTest::newRow("platform") << QByteArray("X-Platform") << "POST auth/get-login-code: X-Platform";
    QTest::newRow("accept") << QByteArray("Accept") << "POST auth/get-login-code: Accept";
    QTest::newRow("content type") << QByteArray("Content-Type") << "POST auth/get-login-code: Content-Type";
}

void tst_BackendStandIn::missingClientHeadersAreRefusedLoudly()
{
    QFETCH(QByteArray, drop);
    QFETCH(QString, fault);
    const QByteArray body = "{\"email\":\"headers@kelvra.test\"}";
    const auto requestWithout = [&body](const QByteArray &name) {
        const QList<QByteArray> headers{"Host: testapi.kelvra.test", "Accept: application/json",
                                        "Content-Type: application/json", "X-App-Version: 3.7.8",
                                        "X-Platform: windows", "Connection: close",
                                        "Content-Length: " + QByteArray::number(body.size())};
        QByteArray request = "POST /api/auth/get-login-code HTTP/1.1\r\n";
        for (const QByteArray &header : headers) {
            if (name.isEmpty() || !header.startsWith(name + ':'))
                request += header + "\r\n";
        }
        return request + "\r\n" + body;
    };
    const QByteArray refused = raw(requestWithout(drop));
    QVERIFY2(refused.startsWith("HTTP/1.1 400"), refused.constData());
    QVERIFY(refused.contains(drop));
    QCOMPARE(m_standIn->headerFaults(), QStringList{fault});

    const QByteArray whole = raw(requestWithout(QByteArray()));
    QVERIFY2(whole.startsWith("HTTP/1.1 200"), whole.constData());
    QCOMPARE(m_standIn->headerFaults().size(), 1);
}

void tst_BackendStandIn::scriptedBehaviourReachesTheClient_data()
{
    QTest::addColumn<QString>("scriptHost");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<StandInReply>("reply");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("check"); // "header=value", "json.path=value" or "html"
    QTest::addColumn<int>("times");

    const QString servers = QStringLiteral("/api/client/servers");
    const QString config = QStringLiteral("/api/client/configuration/gb-lon%3A1?vpn_type=WireGuard");
    QTest::newRow("refused backup host") << Cdn1 << QString() << StandInReply::refuse() << Cdn1 << servers
                                         << int(QNetworkReply::ConnectionRefusedError) << 0 << QString() << 1;
    QTest::newRow("stalled answer") << Primary << "client/servers" << StandInReply::stall() << Primary << servers
                                    << int(QNetworkReply::OperationCanceledError) << 0 << QString() << 1;
    // The manager sends a GET again once when the connection closes before
    // the answer, so the drop stays until cleared.
    QTest::newRow("dropped connection") << QString() << "client/" << StandInReply::drop() << Cdn2 << servers
                                        << int(QNetworkReply::RemoteHostClosedError) << 0 << QString() << -1;
    QTest::newRow("captive portal") << "127.0.0.1" << QString() << StandInReply::captivePage() << Primary << servers
                                    << int(QNetworkReply::NoError) << 200 << "html" << 1;
    QTest::newRow("rate limited") << QString() << "client/servers" << StandInReply::tooManyRequests(7) << Primary
                                  << servers << int(QNetworkReply::UnknownContentError) << 429 << "retry-after=7" << 1;
    QTest::newRow("device limit") << QString() << "client/configuration/" << StandInReply::deviceLimit() << Cdn2
                                  << config << int(QNetworkReply::ContentConflictError) << 409 << "error.code=99999" << 1;
    QTest::newRow("forbidden device limit") << QString() << "client/configuration/" << StandInReply::deviceLimit(403)
                                            << Primary << config << int(QNetworkReply::ContentAccessDenied) << 403
                                            << "error.code=99999" << 1;
    QTest::newRow("connection limit")
        << QString() << QString()
        << StandInReply::connectionLimit({QJsonObject{{"device_os", "android"}, {"vpn_type", "WireGuard"}}})
        << Primary << config << int(QNetworkReply::ContentConflictError) << 409 << "error.code=99998" << 1;
    QTest::newRow("session expired") << Primary << "me" << StandInReply::unauthorized() << Primary
                                     << QStringLiteral("/api/me") << int(QNetworkReply::AuthenticationRequiredError)
                                     << 401 << "error.message=Unauthenticated." << 1;
    QTest::newRow("server error") << Cdn1 << QString() << StandInReply::serverError(503) << Cdn1 << servers
                                  << int(QNetworkReply::ServiceUnavailableError) << 503 << QString() << 1;
    QTest::newRow("empty configuration") << QString() << "client/configuration/" << StandInReply::emptyConfiguration()
                                         << Primary << config << int(QNetworkReply::NoError) << 200 << "configuration=" << 1;
    QTest::newRow("other host unaffected") << Cdn1 << QString() << StandInReply::serverError(500) << Primary << servers
                                           << int(QNetworkReply::NoError) << 200 << "success=true" << 1;
}

void tst_BackendStandIn::scriptedBehaviourReachesTheClient()
{
    QFETCH(QString, scriptHost);
    QFETCH(QString, prefix);
    QFETCH(StandInReply, reply);
    QFETCH(QString, host);
    QFETCH(QString, path);
    QFETCH(int, error);
    QFETCH(int, status);
    QFETCH(QString, check);
    QFETCH(int, times);
    needPrivateNetwork();

    const QString token = m_standIn->issueToken(QStringLiteral("script@kelvra.test"));
    m_standIn->script(scriptHost, prefix, reply, times);
    const bool stalled = reply.kind == StandInReply::Kind::Stall;
    const Answer answer = get(host, path, token, stalled ? 1500 : 0);
    if (stalled && answer.error == QNetworkReply::TimeoutError)
        QCOMPARE(int(QNetworkReply::OperationCanceledError), error); // the name newer Qt gives a transfer time-out
    else
        QCOMPARE(int(answer.error), error);
    QCOMPARE(answer.status, status);

    if (check == QLatin1String("html")) {
        QVERIFY(answer.headers.value("content-type").startsWith("text/html"));
        QVERIFY(!answer.body.isEmpty());
        QVERIFY(QJsonDocument::fromJson(answer.body).isNull());
    } else if (check.contains(QLatin1Char('='))) {
        const QString key = check.section(QLatin1Char('='), 0, 0);
        const QString expected = check.section(QLatin1Char('='), 1);
        if (!key.contains(QLatin1Char('.')) && answer.headers.contains(key.toLatin1())) {
            QCOMPARE(QString::fromLatin1(answer.headers.value(key.toLatin1())), expected);
        } else {
            QJsonValue value = answer.json();
            for (const QString &part : key.split(QLatin1Char('.')))
                value = value.toObject().value(part);
            QCOMPARE(value.toVariant().toString(), expected);
        }
    }
    if (reply.kind == StandInReply::Kind::Answer && answer.status == 409 && check.endsWith(QLatin1String("99998")))
        QCOMPARE(answer.json().value("data").toObject().value("connected_devices").toArray().size(), 1);
    if (reply.kind != StandInReply::Kind::Refuse)
        QVERIFY(!m_standIn->requestsTo(QUrl::fromPercentEncoding(path.mid(5).section(QLatin1Char('?'), 0, 0).toLatin1())).isEmpty());
}

void tst_BackendStandIn::scriptsCountDownPerHostAndPath()
{
    needPrivateNetwork();
    const QString token = m_standIn->issueToken(QStringLiteral("count@kelvra.test"));
    const QString me = QStringLiteral("/api/me");
    m_standIn->script(QString(), QStringLiteral("me"), StandInReply::serverError(502), 2);
    m_standIn->script(Cdn1, QStringLiteral("/api/subscription-info"), StandInReply::tooManyRequests(1), -1);

    QCOMPARE(get(Primary, me, token).status, 502);
    QCOMPARE(get(Cdn2, me, token).status, 502);
    QCOMPARE(get(Primary, me, token).status, 200); // both uses spent
    QCOMPARE(m_standIn->pendingScripts(), 1);

    for (int i = 0; i < 3; ++i)
        QCOMPARE(get(Cdn1, QStringLiteral("/api/subscription-info"), token).status, 429); // sticky
    QCOMPARE(get(Primary, QStringLiteral("/api/subscription-info"), token).status, 200); // other host
    m_standIn->clearScripts();
    QCOMPARE(get(Cdn1, QStringLiteral("/api/subscription-info"), token).status, 200);
    QCOMPARE(m_standIn->pendingScripts(), 0);

    // A delayed answer still comes, after its delay.
    m_standIn->script(Primary, QStringLiteral("me"), StandInReply::serverError(504).delayed(300));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(get(Primary, me, token).status, 504);
    QVERIFY(timer.elapsed() >= 250);
}

void tst_BackendStandIn::refusedHostClosesKeptAliveConnectionsAndReopens()
{
    QFETCH_GLOBAL(bool, http2);
    needPrivateNetwork();
    const QString token = m_standIn->issueToken(QStringLiteral("refuse@kelvra.test"));
    const QString me = QStringLiteral("/api/me");
    QCOMPARE(get(Cdn2, me, token).status, 200); // leaves a kept-alive connection
    m_standIn->script(QStringLiteral("127.0.0.3"), QString(), StandInReply::refuse());
    QVERIFY(!m_standIn->isListening(QHostAddress(QStringLiteral("127.0.0.3"))));
    const QNetworkReply::NetworkError gone = get(Cdn2, me, token).error;
    if (http2 && gone == QNetworkReply::RemoteHostClosedError) {
        // Qt sends an HTTP/1.1 request again on a new connection when the
        // kept one turns out closed; an HTTP/2 stream that went out on the
        // kept connection before Qt heard of the close is not sent again, and
        // reports the close. The next request finds the address refusing.
        QCOMPARE(get(Cdn2, me, token).error, QNetworkReply::ConnectionRefusedError);
    } else {
        QCOMPARE(gone, QNetworkReply::ConnectionRefusedError);
    }
    QCOMPARE(get(Cdn1, me, token).status, 200);
    m_standIn->clearScripts();
    QCOMPARE(get(Cdn2, me, token).status, 200);

    m_standIn->stopListening(QHostAddress(QStringLiteral("127.0.0.1")));
    QCOMPARE(get(Primary, me, token).error, QNetworkReply::ConnectionRefusedError);
    m_standIn->resumeListening(QHostAddress(QStringLiteral("127.0.0.1")));
    QCOMPARE(get(Primary, me, token).status, 200);
}

void tst_BackendStandIn::codeSignInProfileDevicesAndSignOut()
{
    needPrivateNetwork();
    QSignalSpy mailed(m_standIn.get(), &BackendStandIn::codeMailed);
    const QString email = QStringLiteral("Someone@Kelvra.test");

    const Answer bad = post(Primary, QStringLiteral("/api/auth/get-login-code"), {{"email", "not-an-address"}});
    QCOMPARE(bad.status, 422);
    QVERIFY(!bad.json().value("error").toObject().value("message").toString().isEmpty());

    const Answer sent = post(Primary, QStringLiteral("/api/auth/get-login-code"), {{"email", email}});
    QCOMPARE(sent.status, 200);
    QVERIFY(sent.body.contains("An email sent"));
    QCOMPARE(sent.json().value("success").toBool(), true);
    QCOMPARE(mailed.size(), 1);
    const QString code = m_standIn->lastCodeFor(email.toLower());
    QCOMPARE(mailed.first().at(1).toString(), code);
    QVERIFY(QRegularExpression(QStringLiteral("^\\d{6}$")).match(code).hasMatch());

    const QString wrong = code == QLatin1String("000000") ? QStringLiteral("111111") : QStringLiteral("000000");
    const Answer refused = post(Primary, QStringLiteral("/api/auth/code-login"), {{"email", email}, {"code", wrong}});
    QCOMPARE(refused.json().value("success").toBool(true), false);
    QVERIFY(!refused.json().value("error").toObject().value("message").toString().isEmpty());

    const QJsonObject credentials{{"email", email}, {"code", code}, {"device_os", "windows"},
                                  {"device_os_version", "10.0.22631"}, {"device_brand", "Bench"}, {"device_model", "One"}};
    const Answer login = post(Primary, QStringLiteral("/api/auth/code-login"), credentials);
    QCOMPARE(login.status, 200);
    QVERIFY(login.body.contains("Successfully logged in"));
    const QString token = login.json().value("data").toObject().value("token").toString();
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d+\\|[A-Za-z0-9]+$")).match(token).hasMatch(), qPrintable(token));
    QCOMPARE(login.json().value("data").toObject().value("user").toObject().value("email").toString(), email);
    // A code works once.
    QCOMPARE(post(Primary, QStringLiteral("/api/auth/code-login"), credentials).status, 422);

    const Answer me = get(Cdn1, QStringLiteral("/api/me"), token);
    QCOMPARE(me.json().value("data").toObject().value("email").toString(), email);
    QCOMPARE(me.json().value("data").toObject().value("last_login_ip").toString(), QStringLiteral("127.0.0.1"));
    QVERIFY(!get(Primary, QStringLiteral("/api/subscription-info"), token).json().value("data").toObject().isEmpty());

    const QString phone = m_standIn->addDevice(email, {}, true);
    const QJsonArray devices = get(Primary, QStringLiteral("/api/connected-device"), token)
                                   .json().value("data").toArray().first().toArray();
    QCOMPARE(devices.size(), 2);
    int current = 0;
    for (const QJsonValue &device : devices) {
        const QJsonObject row = device.toObject();
        if (row.value("is_current").toBool()) {
            ++current;
            QCOMPARE(row.value("access_token_id").toInt(), token.section(QLatin1Char('|'), 0, 0).toInt());
            QCOMPARE(row.value("device_model").toString(), QStringLiteral("One"));
        }
    }
    QCOMPARE(current, 1);

    QNetworkRequest remove(QUrl(QStringLiteral("https://%1:%2/api/remove-device").arg(Primary).arg(m_standIn->port())));
    remove.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    remove.setRawHeader("x-device-id", phone.toUtf8());
    QCOMPARE(send(remove, "POST", "{}").json().value("success").toBool(), true);
    QCOMPARE(send(remove, "POST", "{}").status, 404);
    QCOMPARE(m_standIn->devices(email, token).size(), 1);

    QCOMPARE(post(Primary, QStringLiteral("/api/auth/logout"), {}, token).status, 200);
    QVERIFY(!m_standIn->isTokenValid(token));
    QCOMPARE(get(Primary, QStringLiteral("/api/me"), token).status, 401);
    QCOMPARE(get(Primary, QStringLiteral("/api/client/servers")).status, 401);

    // A sign-in link made from a session signs in another session.
    const QString second = m_standIn->issueToken(email);
    const QString link = post(Primary, QStringLiteral("/api/auth/sso-generate-login"), {}, second)
                             .json().value("data").toObject().value("access_token").toString();
    QVERIFY(!link.isEmpty());
    const Answer linked = post(Primary, QStringLiteral("/api/auth/sso-login-with-token"), {{"access_token", link}});
    QVERIFY(m_standIn->isTokenValid(linked.json().value("data").toObject().value("token").toString()));
    const Answer used = post(Primary, QStringLiteral("/api/auth/sso-login-with-token"), {{"access_token", link}});
    QCOMPARE(used.json().value("error").toObject().value("code").toInt(), 20041);
    const Answer unknown = post(Primary, QStringLiteral("/api/auth/sso-login-with-token"), {{"access_token", "nothing"}});
    QCOMPARE(unknown.json().value("error").toObject().value("code").toInt(), 20040);
}

void tst_BackendStandIn::deviceAndConnectionLimitsArise()
{
    needPrivateNetwork();
    const QString email = QStringLiteral("limits@kelvra.test");
    m_standIn->setDeviceLimit(2);
    const QString first = signIn(email, QStringLiteral("First"));
    const QString second = signIn(email, QStringLiteral("Second"));
    QVERIFY(!first.isEmpty());
    QVERIFY(!second.isEmpty());

    QCOMPARE(post(Primary, QStringLiteral("/api/auth/get-login-code"), {{"email", email}}).status, 200);
    const Answer third = post(Primary, QStringLiteral("/api/auth/code-login"),
                              {{"email", email}, {"code", m_standIn->lastCodeFor(email)}, {"device_model", "Third"}});
    QCOMPARE(third.status, 409);
    QCOMPARE(third.json().value("error").toObject().value("code").toInt(), 99999);

    // The same machine signing in again takes its old place, and its old
    // session ends.
    const QString again = signIn(email, QStringLiteral("First"));
    QVERIFY(!again.isEmpty());
    QVERIFY(!m_standIn->isTokenValid(first));
    QCOMPARE(get(Primary, QStringLiteral("/api/me"), first).status, 401);

    m_standIn->setConnectionLimit(1);
    const QString config = QStringLiteral("/api/client/configuration/de-fra%3Apool?vpn_type=WireGuard");
    QCOMPARE(get(Primary, config, again).status, 200);
    QCOMPARE(post(Primary, QStringLiteral("/api/client/vpn-session"), {{"state", "connected"}, {"vpn_type", "WireGuard"}},
                  second).status, 200);
    const Answer limited = get(Primary, config, again);
    QCOMPARE(limited.status, 409);
    QCOMPARE(limited.json().value("error").toObject().value("code").toInt(), 99998);
    const QJsonArray connected = limited.json().value("data").toObject().value("connected_devices").toArray();
    QCOMPARE(connected.size(), 1);
    QCOMPARE(connected.first().toObject().value("device_model").toString(), QStringLiteral("Second"));
    QCOMPARE(connected.first().toObject().value("vpn_type").toString(), QStringLiteral("WireGuard"));
    QVERIFY(connected.first().toObject().contains("last_seen"));
    QCOMPARE(post(Primary, QStringLiteral("/api/client/vpn-session"), {{"state", "disconnected"}}, second).status, 200);
    QCOMPARE(get(Primary, config, again).status, 200);
}

void tst_BackendStandIn::hostileRequestsGetRefusedAndTheServerLives_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("expected"); // start of the status line; empty: a closed connection is enough

    QTest::newRow("binary garbage") << QByteArray("\x00\x01\x02\xff hello\r\n\r\n", 14) << QByteArray("HTTP/1.1 400");
    QTest::newRow("no Host") << QByteArray("GET /api/me HTTP/1.1\r\n\r\n") << QByteArray("HTTP/1.1 400");
    QTest::newRow("HTTP/2 request line") << QByteArray("GET /api/me HTTP/2.0\r\nHost: a\r\n\r\n") << QByteArray("HTTP/1.1 505");
    QTest::newRow("target not a path") << QByteArray("GET api/me HTTP/1.1\r\nHost: a\r\n\r\n") << QByteArray("HTTP/1.1 400");
    QTest::newRow("header without colon") << QByteArray("GET / HTTP/1.1\r\nHost: a\r\nBroken\r\n\r\n") << QByteArray("HTTP/1.1 400");
    QTest::newRow("folded header") << QByteArray("GET / HTTP/1.1\r\nHost: a\r\n X: y\r\n\r\n") << QByteArray("HTTP/1.1 400");
    QTest::newRow("negative length") << QByteArray("POST /api/me HTTP/1.1\r\nHost: a\r\nContent-Length: -1\r\n\r\n")
                                     << QByteArray("HTTP/1.1 400");
    QTest::newRow("two lengths") << QByteArray("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab")
                                 << QByteArray("HTTP/1.1 400");
    QTest::newRow("chunked body") << QByteArray("POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n")
                                  << QByteArray("HTTP/1.1 501");
    QTest::newRow("huge body announced") << QByteArray("POST /api/auth/code-login HTTP/1.1\r\nHost: a\r\nContent-Length: 99999999999\r\n\r\n")
                                         << QByteArray("HTTP/1.1 413");
    QTest::newRow("huge head") << ("GET / HTTP/1.1\r\nHost: a\r\nX-Fill: " + QByteArray(40 * 1024, 'x')) << QByteArray("HTTP/1.1 431");
    QTest::newRow("too many headers") << ("GET / HTTP/1.1\r\nHost: a\r\n" + QByteArray("X: y\r\n").repeated(150) + "\r\n")
                                      << QByteArray("HTTP/1.1 431");
    QTest::newRow("bad json body") << QByteArray("POST /api/auth/code-login HTTP/1.1\r\nHost: a\r\nAccept: application/json\r\nContent-Type: application/json\r\nX-App-Version: 3.7.8\r\nX-Platform: windows\r\nContent-Length: 5\r\nConnection: close\r\n\r\n{{{{{")
                                   << QByteArray("HTTP/1.1 422");
    QTest::newRow("unknown path") << QByteArray("GET /../../etc/passwd HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n")
                                  << QByteArray("HTTP/1.1 404");
    QTest::newRow("wrong method") << QByteArray("DELETE /api/me HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n")
                                  << QByteArray("HTTP/1.1 405");
}

void tst_BackendStandIn::hostileRequestsGetRefusedAndTheServerLives()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, expected);
    const QByteArray answer = raw(bytes);
    QVERIFY2(answer.startsWith(expected), answer.left(200).constData());
    // Still serving.
    QVERIFY(raw("GET /cdn-cgi/trace HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n").startsWith("HTTP/1.1 200"));
}

void tst_BackendStandIn::randomGarbageNeverStopsTheServer()
{
    // Plain bytes where a TLS handshake belongs, then random bytes after a
    // good handshake: the stand-in drops what it can't read and keeps serving.
    QTcpSocket plain;
    plain.connectToHost(QHostAddress(QStringLiteral("127.0.0.1")), m_standIn->port());
    QVERIFY(plain.waitForConnected(5000));
    plain.write("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(plain.state() == QAbstractSocket::UnconnectedState, 15000);

    auto *random = QRandomGenerator::global();
    for (int i = 0; i < 20; ++i) {
        QByteArray bytes(random->bounded(1, 4096), Qt::Uninitialized);
        for (char &b : bytes)
            b = char(random->bounded(256));
        bytes += "\r\n\r\n";
        const QByteArray answer = raw(bytes);
        QVERIFY2(answer.isEmpty() || answer.startsWith("HTTP/1.1 4") || answer.startsWith("HTTP/1.1 5"),
                 answer.left(100).constData());
    }
    QVERIFY(raw("GET /cdn-cgi/trace HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n").startsWith("HTTP/1.1 200"));
}

void tst_BackendStandIn::keepAliveAnswersPipelinedRequestsInOrder()
{
    const QByteArray token = m_standIn->issueToken(QStringLiteral("pipe@kelvra.test")).toUtf8();
    const QByteArray answers = raw("GET /api/me HTTP/1.1\r\nHost: a\r\nAccept: application/json\r\nContent-Type: application/json\r\nX-App-Version: 3.7.8\r\nX-Platform: windows\r\nAuthorization: Bearer " + token + "\r\n\r\n"
                                   "POST /api/client/vpn-session HTTP/1.1\r\nHost: a\r\nAccept: application/json\r\nContent-Type: application/json\r\nX-App-Version: 3.7.8\r\nX-Platform: windows\r\nAuthorization: Bearer " + token
                                   + "\r\nContent-Length: 21\r\n\r\n{\"state\":\"connected\"}"
                                   "GET /api/nothing-here HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n");
    const int first = answers.indexOf("HTTP/1.1 200");
    const int second = answers.indexOf("HTTP/1.1 200", first + 1);
    const int third = answers.indexOf("HTTP/1.1 404");
    QVERIFY2(first == 0 && second > first && third > second, answers.constData());
    QVERIFY(answers.mid(first, second - first).contains("pipe@kelvra.test"));
    QVERIFY(answers.mid(second, third - second).contains("Session recorded."));
    QCOMPARE(m_standIn->requests().size(), 3);
    QCOMPARE(m_standIn->requests().at(1).json().value("state").toString(), QStringLiteral("connected"));
}

void tst_BackendStandIn::idleAndHalfSentRequestsAreClosed()
{
    m_standIn->setIdleTimeout(300);
    QElapsedTimer timer;
    timer.start();
    // A head that never ends, and a body shorter than announced.
    QCOMPARE(raw("GET /api/me HTTP/1.1\r\nHost: a\r\nX-Slow: "), QByteArray());
    QCOMPARE(raw("POST /api/auth/code-login HTTP/1.1\r\nHost: a\r\nContent-Length: 100\r\n\r\n{\"email\""), QByteArray());
    QVERIFY(timer.elapsed() < 5000); // closed by the stand-in, not by the wait giving up
    QVERIFY(raw("GET /cdn-cgi/trace HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n").startsWith("HTTP/1.1 200"));
}

void tst_BackendStandIn::manyClientsAtOnceAreAllAnswered()
{
    const QByteArray token = m_standIn->issueToken(QStringLiteral("crowd@kelvra.test")).toUtf8();
    const QByteArray request = "GET /api/me HTTP/1.1\r\nHost: a\r\nAccept: application/json\r\nContent-Type: application/json\r\nX-App-Version: 3.7.8\r\nX-Platform: windows\r\nAuthorization: Bearer " + token + "\r\nConnection: close\r\n\r\n";
    std::vector<std::unique_ptr<QSslSocket>> sockets;
    QHash<QSslSocket *, QByteArray> received;
    for (int i = 0; i < 40; ++i) {
        auto socket = std::make_unique<QSslSocket>();
        socket->setProxy(QNetworkProxy::NoProxy);
        socket->setSslConfiguration(trustingStandIn());
        QSslSocket *raw = socket.get();
        connect(raw, &QSslSocket::encrypted, raw, [raw, request] { raw->write(request); });
        connect(raw, &QSslSocket::readyRead, raw, [raw, &received] { received[raw] += raw->readAll(); });
        raw->connectToHostEncrypted(QStringLiteral("127.0.0.%1").arg(1 + i % 3), m_standIn->port(), Primary);
        sockets.push_back(std::move(socket));
    }
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(sockets.begin(), sockets.end(),
                                         [](const auto &s) { return s->state() == QAbstractSocket::UnconnectedState; }),
                             30000);
    for (const auto &socket : sockets)
        QVERIFY2(received.value(socket.get()).startsWith("HTTP/1.1 200"), received.value(socket.get()).left(80).constData());
    QCOMPARE(m_standIn->requestsTo(QStringLiteral("me")).size(), 40);
}

void tst_BackendStandIn::connectivityProbeAndCloudflareFront()
{
    needPrivateNetwork();
    QVERIFY(m_standIn->listen({QHostAddress(QStringLiteral("1.1.1.1"))}, 443));
    QNetworkRequest request(QUrl(QStringLiteral("https://1.1.1.1/cdn-cgi/trace")));
    request.setTransferTimeout(4000);
    Answer answer = send(request, "GET", QByteArray());
    QCOMPARE(answer.status, 200);
    QVERIFY(answer.body.contains("\nip=1.1.1.1\n"));
    m_standIn->setProbeIp(QStringLiteral("203.0.113.99"));
    answer = send(request, "GET", QByteArray());
    QVERIFY(answer.body.contains("\nip=203.0.113.99\n"));
    m_standIn->script(QStringLiteral("1.1.1.1"), QStringLiteral("/cdn-cgi/"), StandInReply::captivePage());
    QVERIFY(send(request, "GET", QByteArray()).body.startsWith("<!DOCTYPE html>"));

    // The Cloudflare front of a catalogue server, as the route check dials it.
    const QJsonObject probe = m_standIn->catalogue().value("data").toObject().value("vpn_servers").toArray().at(1)
                                  .toObject().value("countries").toArray().first().toObject().value("pools").toArray()
                                  .first().toObject().value("cdn_probe").toObject();
    QVERIFY(m_standIn->listen({QHostAddress(probe.value("address").toString())}, 443));
    QSslSocket socket;
    QVERIFY(encrypt(socket, probe.value("address").toString(), 443, probe.value("sni").toString()));
    socket.write("GET " + probe.value("path").toString().toLatin1() + " HTTP/1.1\r\nHost: " + probe.value("sni").toString().toLatin1()
                 + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                   "Sec-WebSocket-Version: 13\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(socket.bytesAvailable() >= 12, 10000);
    const QByteArray head = socket.readAll();
    QVERIFY(head.startsWith("HTTP/1.1 101"));
    QVERIFY(head.contains("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo="));
}

void tst_BackendStandIn::seedCatalogueUsesOnlyTestNetworkAddresses()
{
    QFile seed(QStringLiteral(KELVRA_SOURCE_DIR "/tools/backend/seed/servers.json"));
    QVERIFY(seed.open(QIODevice::ReadOnly));
    QJsonParseError parse;
    const QJsonDocument document = QJsonDocument::fromJson(seed.readAll(), &parse);
    QVERIFY2(document.isObject(), qPrintable(parse.errorString()));
    QCOMPARE(document.object(), m_standIn->catalogue());
    const QJsonObject data = document.object().value("data").toObject();

    const QSet<QString> allowed = namespaceAddresses();
    QVERIFY(!allowed.isEmpty());
    const QStringList used = m_standIn->catalogueAddresses();
    QVERIFY(used.size() >= 10);
    for (const QString &address : used) {
        QVERIFY2(allowed.contains(address), qPrintable(address + " is not in scripts/netns-addresses.txt"));
        QVERIFY2(address.startsWith(QLatin1String("203.0.113.")) || address.startsWith(QLatin1String("198.51.100.")),
                 qPrintable(address + " is not a documentation address"));
    }

    QStringList categories;
    QSet<QString> protocolIds;
    QSet<QString> apiIds;
    bool pools = false;
    bool probes = false;
    bool estimates = false;
    for (const QJsonValue &category : data.value("vpn_servers").toArray()) {
        categories.append(category.toObject().value("name").toString());
        for (const QJsonValue &country : category.toObject().value("countries").toArray()) {
            QJsonArray entries = country.toObject().value("vpn_servers").toArray();
            for (const QJsonValue &pool : country.toObject().value("pools").toArray()) {
                pools = true;
                QVERIFY(!pool.toObject().value("members").toArray().isEmpty());
                entries.append(pool);
            }
            for (const QJsonValue &entry : entries) {
                const QJsonObject server = entry.toObject();
                apiIds.insert(server.value("id").toVariant().toString());
                QVERIFY(!server.value("config_id").toString().isEmpty());
                for (const QJsonValue &protocol : server.value("protocols").toArray())
                    protocolIds.insert(protocol.toObject().value("id").toString());
                probes = probes || server.contains("cdn_probe");
                estimates = estimates || server.contains("estimated_ping_ms");
            }
        }
    }
    QVERIFY(categories.contains("Free"));
    QVERIFY(categories.contains("High Speed"));
    QVERIFY(categories.size() >= 3);
    const QSet<QString> everyProtocol{"openvpn", "wireguard", "amneziawg", "reality", "openvpn-tcp", "hysteria2", "reality-cdn"};
    QCOMPARE(protocolIds, everyProtocol);
    QVERIFY(pools && probes && estimates);
    QVERIFY(data.value("protocol_order").toObject().value("optimal").isArray());
    QVERIFY(data.value("protocol_order").toObject().value("stealth").isArray());
    QVERIFY(data.value("restricted_network").toObject().value("likely").isBool());
    for (const QJsonValue &id : data.value("restricted_network").toObject().value("servers").toArray())
        QVERIFY2(apiIds.contains(id.toVariant().toString()), qPrintable(id.toVariant().toString()));
    const QJsonObject fallback = data.value("default_server").toObject();
    QVERIFY(apiIds.contains(fallback.value("id").toVariant().toString()));
    QVERIFY(!fallback.value("config_id").toString().isEmpty());
}

void tst_BackendStandIn::configurationsInEveryForm_data()
{
    QTest::addColumn<QString>("configId");
    QTest::addColumn<QString>("vpnType");
    QTest::addColumn<QString>("transport");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("expectedTransport");
    QTest::addColumn<QString>("form"); // "wireguard", "amneziawg", "openvpn", "vless", "hysteria2"

    QTest::newRow("WireGuard") << "gb-lon:1" << "WireGuard" << "" << 200 << "udp" << "wireguard";
    QTest::newRow("AmneziaWG") << "gb-lon:1" << "AmneziaWG" << "" << 200 << "udp" << "amneziawg";
    QTest::newRow("OpenVPN UDP") << "nl-ams-free:1" << "OpenVPN" << "" << 200 << "udp" << "openvpn";
    QTest::newRow("OpenVPN TCP") << "nl-ams-free:1" << "OpenVPN" << "tcp" << 200 << "tcp" << "openvpn";
    QTest::newRow("Stealth") << "ch-zrh:1" << "Reality" << "" << 200 << "tcp" << "vless";
    QTest::newRow("Stealth over Cloudflare") << "gb-lon:1" << "Reality" << "cdn" << 200 << "cdn" << "vless";
    QTest::newRow("no Cloudflare route") << "gb-man:1" << "Reality" << "cdn" << 200 << "tcp" << "vless";
    QTest::newRow("Hysteria2") << "ch-zrh:1" << "Hysteria2" << "" << 200 << "udp" << "hysteria2";
    QTest::newRow("pool hands out a member") << "de-fra:pool" << "WireGuard" << "" << 200 << "udp" << "wireguard";
    QTest::newRow("older entry, legacy protocols") << "jp-tyo:1" << "WireGuard" << "" << 200 << "udp" << "wireguard";
    QTest::newRow("protocol not offered") << "jp-tyo:1" << "Hysteria2" << "" << 422 << "" << "";
    QTest::newRow("unknown server") << "xx-nowhere:1" << "WireGuard" << "" << 404 << "" << "";
}

void tst_BackendStandIn::configurationsInEveryForm()
{
    QFETCH(QString, configId);
    QFETCH(QString, vpnType);
    QFETCH(QString, transport);
    QFETCH(int, status);
    QFETCH(QString, expectedTransport);
    QFETCH(QString, form);
    needPrivateNetwork();

    const QString token = m_standIn->issueToken(QStringLiteral("config@kelvra.test"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("vpn_type"), vpnType);
    if (!transport.isEmpty())
        query.addQueryItem(QStringLiteral("transport"), transport);
    query.addQueryItem(QStringLiteral("recover"), QStringLiteral("1"));
    const QString path = QStringLiteral("/api/client/configuration/") + QString(configId).replace(QLatin1Char(':'), QLatin1String("%3A"))
        + QLatin1Char('?') + query.toString(QUrl::FullyEncoded);
    const Answer answer = get(Primary, path, token);
    QCOMPARE(answer.status, status);
    if (status != 200) {
        QVERIFY(!answer.json().value("error").toObject().value("message").toString().isEmpty());
        return;
    }
    const QJsonObject body = answer.json();
    QCOMPARE(body.value("transport").toString(), expectedTransport);
    QCOMPARE(body.value("recreated").toBool(), true);
    const QString text = body.value("configuration").toString();
    const QSet<QString> allowed = namespaceAddresses();

    if (form == QLatin1String("vless") || form == QLatin1String("hysteria2")) {
        const QUrl link(text.trimmed(), QUrl::StrictMode);
        QVERIFY2(link.isValid(), qPrintable(text));
        QCOMPARE(link.scheme(), form);
        QVERIFY2(allowed.contains(link.host()), qPrintable(link.host()));
        QVERIFY(link.port() > 0);
        if (expectedTransport == QLatin1String("cdn"))
            QVERIFY(QUrlQuery(link).queryItemValue("path", QUrl::FullyDecoded).startsWith(QLatin1String("/ws/")));
        return;
    }
    if (form == QLatin1String("openvpn")) {
        const QRegularExpressionMatch remote = QRegularExpression(QStringLiteral("^remote (\\S+) (\\d+)$"),
                                                                  QRegularExpression::MultilineOption).match(text);
        QVERIFY2(remote.hasMatch(), qPrintable(text));
        QVERIFY(allowed.contains(remote.captured(1)));
        QVERIFY(text.contains(transport == QLatin1String("tcp") ? QLatin1String("proto tcp-client") : QLatin1String("proto udp")));
        QVERIFY(text.contains(QLatin1String("<ca>\n-----BEGIN CERTIFICATE-----")));
        return;
    }
    // WireGuard-style INI: the keys the client reads, with made-up Base64 keys.
    QHash<QString, QString> values;
    QString section;
    for (const QString &rawLine : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QString line = rawLine.trimmed();
        if (line.startsWith(QLatin1Char('[')))
            section = line.mid(1, line.size() - 2).toLower();
        else if (line.contains(QLatin1Char('=')))
            values.insert(section + QLatin1Char('.') + line.section(QLatin1Char('='), 0, 0).trimmed(),
                          line.section(QLatin1Char('='), 1).trimmed());
    }
    QCOMPARE(QByteArray::fromBase64(values.value("interface.PrivateKey").toLatin1()).size(), 32);
    QCOMPARE(QByteArray::fromBase64(values.value("peer.PublicKey").toLatin1()).size(), 32);
    QVERIFY(!values.value("interface.Address").isEmpty());
    const QStringList endpoint = values.value("peer.Endpoint").split(QLatin1Char(':'));
    QCOMPARE(endpoint.size(), 2);
    QVERIFY2(allowed.contains(endpoint.first()), qPrintable(endpoint.first()));
    QVERIFY(endpoint.last().toInt() > 0);
    QVERIFY(values.contains("peer.AllowedIPs"));
    if (form == QLatin1String("amneziawg")) {
        for (const char *key : {"Jc", "Jmin", "Jmax", "S1", "S2", "H1", "H2", "H3", "H4", "MTU"})
            QVERIFY2(values.value(QStringLiteral("interface.") + QLatin1String(key)).toUInt() > 0, key);
    }
    if (configId == QLatin1String("de-fra:pool")) {
        QCOMPARE(body.value("pool").toString(), configId);
        QVERIFY(!body.value("location_id").isUndefined());
    }
}

void tst_BackendStandIn::runProgramPrintsMailedCodes()
{
    needPrivateNetwork();
    QTcpServer probe; // a port free on all three addresses, most likely
    QVERIFY(probe.listen(QHostAddress(QStringLiteral("127.0.0.3"))));
    const quint16 port = probe.serverPort();
    probe.close();

    QProcess program;
    program.setProgram(TestEnvironment::binDir() + QStringLiteral("/kelvra-backend-standin"));
    QFETCH_GLOBAL(bool, http2);
    QStringList arguments{QStringLiteral("--port"), QString::number(port), QStringLiteral("--loopback-only")};
    if (!http2)
        arguments << QStringLiteral("--http1-only");
    program.setArguments(arguments);
    program.start();
    QVERIFY2(program.waitForStarted(10000), qPrintable(program.errorString()));
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += program.readAllStandardOutput()).contains("API base: "), 15000);
    QVERIFY(output.contains("Listening on https://127.0.0.2:" + QByteArray::number(port)));

    QNetworkRequest request(QUrl(QStringLiteral("https://%1:%2/api/auth/get-login-code").arg(Cdn2).arg(port)));
    const Answer sent = send(request, "POST", R"({"email":"by.hand@kelvra.test"})");
    QCOMPARE(sent.status, 200);
    QCOMPARE(sent.http2, http2);
    QTRY_VERIFY_WITH_TIMEOUT((output += program.readAllStandardOutput()).contains("Sign-in code for by.hand@kelvra.test: "), 15000);
    QVERIFY(QRegularExpression(QStringLiteral("by.hand@kelvra.test: \\d{6}\\n")).match(QString::fromUtf8(output)).hasMatch());

    program.terminate();
    QVERIFY(program.waitForFinished(10000));
}

int main(int argc, char *argv[])
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    tst_BackendStandIn test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_backendstandin.moc"

void tst_BackendStandIn::blocklistWithItsTagAndFaults_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("names");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("lowerCaseHash");
    QTest::newRow("whole") << int(StandInBlocklist::Fault::None) << 2 << 2 << true;
    QTest::newRow("count off by one") << int(StandInBlocklist::Fault::CountOffByOne) << 2 << 1 << true;
    QTest::newRow("upper-case hash") << int(StandInBlocklist::Fault::UpperCaseHash) << 2 << 2 << false;
    QTest::newRow("too many names") << int(StandInBlocklist::Fault::TooMany) << 300001 << 300001 << true;
}

void tst_BackendStandIn::blocklistWithItsTagAndFaults()
{
    needPrivateNetwork();
    QFETCH(int, fault);
    QFETCH(int, names);
    QFETCH(int, count);
    QFETCH(bool, lowerCaseHash);
    const QString token = m_standIn->issueToken(QStringLiteral("blocks@example.com"));
    const QStringList domains{QStringLiteral("a.example.test"), QStringLiteral("b.example.test")};
    m_standIn->setBlocklist(domains, StandInBlocklist::Fault(fault));
    QCOMPARE(get(Primary, QStringLiteral("/api/client/blocklist")).status, 401);

    const Answer answer = get(Primary, QStringLiteral("/api/client/blocklist"), token);
    QCOMPARE(answer.status, 200);
    const QJsonObject document = answer.json();
    const QJsonArray sent = document.value("domains").toArray();
    QCOMPARE(sent.size(), names);
    QCOMPARE(sent.first().toString(), domains.first());
    QCOMPARE(document.value("count").toInt(), count);
    QStringList all;
    for (const QJsonValue &name : sent)
        all.append(name.toString());
    const QByteArray hash = QCryptographicHash::hash(all.join('\n').toLatin1(), QCryptographicHash::Sha256).toHex();
    QCOMPARE(document.value("sha256").toString().toLatin1(), lowerCaseHash ? hash : hash.toUpper());

    // The tag names the list: asked with it, the answer is 304 without a body.
    const QByteArray tag = answer.headers.value("etag");
    QCOMPARE(tag, m_standIn->blocklist().etag());
    QNetworkRequest request(QUrl(QStringLiteral("https://%1:%2/api/client/blocklist").arg(Primary).arg(m_standIn->port())));
    request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    request.setRawHeader("If-None-Match", tag);
    const Answer again = send(request, "GET", QByteArray());
    QCOMPARE(again.status, 304);
    QVERIFY(again.body.isEmpty());
    request.setRawHeader("If-None-Match", "\"other\"");
    QCOMPARE(send(request, "GET", QByteArray()).status, 200);
}

// Qt's network access offers "h2" and "http/1.1" by ALPN and takes HTTP/2
// when the stand-in offers it; a socket that offers nothing speaks HTTP/1.1.
void tst_BackendStandIn::clientSpeaksTheOfferedVersion()
{
    QFETCH_GLOBAL(bool, http2);
    needPrivateNetwork();
    const Answer answer = get(Cdn1, QStringLiteral("/api/me"));
    QCOMPARE(answer.status, 401);
    QCOMPARE(answer.http2, http2);
    const StandInRequest request = m_standIn->requests().constLast();
    QCOMPARE(request.version, http2 ? QByteArray("HTTP/2") : QByteArray("HTTP/1.1"));
    QCOMPARE(request.host, Cdn1); // from ":authority" over HTTP/2
    QCOMPARE(request.stream != 0, http2);
    QCOMPARE(request.header("Accept"), QByteArray("application/json"));

    QSslSocket offering;
    QVERIFY(encrypt(offering, QStringLiteral("127.0.0.1"), m_standIn->port(), Primary,
                    {QSslConfiguration::ALPNProtocolHTTP2, QSslConfiguration::NextProtocolHttp1_1}));
    // Without HTTP/2 the stand-in picks nothing, and a client speaks HTTP/1.1.
    QCOMPARE(offering.sslConfiguration().nextNegotiatedProtocol(), http2 ? QByteArray("h2") : QByteArray());
    QSslSocket silent;
    QVERIFY(encrypt(silent, QStringLiteral("127.0.0.1"), m_standIn->port(), Primary));
    QVERIFY(silent.sslConfiguration().nextNegotiatedProtocol().isEmpty());
}

// A request the stand-in stalls holds back no other request of the same
// client: over HTTP/2 they share one connection, as two streams.
void tst_BackendStandIn::stalledRequestHoldsBackNoOther()
{
    QFETCH_GLOBAL(bool, http2);
    needPrivateNetwork();
    const QString token = m_standIn->issueToken(QStringLiteral("streams@kelvra.test"));
    m_standIn->script(Primary, QStringLiteral("client/servers"), StandInReply::stall());
    QNetworkRequest slow(QUrl(QStringLiteral("https://%1:%2/api/client/servers").arg(Primary).arg(m_standIn->port())));
    slow.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    QNetworkReply *stalled = start(slow, "GET", QByteArray());
    QTRY_COMPARE_WITH_TIMEOUT(m_standIn->requestsTo(QStringLiteral("client/servers")).size(), 1, 10000);

    const Answer other = get(Primary, QStringLiteral("/api/me"), token);
    QCOMPARE(other.status, 200);
    QCOMPARE(other.http2, http2);
    QVERIFY(!stalled->isFinished());
    const StandInRequest first = m_standIn->requestsTo(QStringLiteral("client/servers")).first();
    const StandInRequest second = m_standIn->requestsTo(QStringLiteral("me")).first();
    if (http2) {
        // Each connection numbers its streams from 1: two numbers, one connection.
        QVERIFY(first.stream > 0 && second.stream > 0);
        QVERIFY(first.stream != second.stream);
    }
    stalled->abort();
    delete stalled;
}

void tst_BackendStandIn::transferFaultsReachTheClient_data()
{
    const QByteArray whole = QJsonDocument(QJsonObject{{"success", true}, {"data", QString(4000, QLatin1Char('x'))}})
                                 .toJson(QJsonDocument::Compact);
    const StandInReply ok = StandInReply::status(200, whole);
    QTest::addColumn<StandInReply>("reply");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<int>("atLeastMs");
    QTest::newRow("body cut off") << ok.cutAfter(whole.size() / 2) << false << 0;
    QTest::newRow("reset after the head") << ok.resetAfterHeaders() << false << 0;
    QTest::newRow("dripped") << ok.dripped(1000, 100) << true << 350;
    QTest::newRow("delayed") << ok.delayed(300) << true << 250;
    QTest::newRow("delayed, then cut off") << ok.cutAfter(10).delayed(300) << false << 250;
}

// Each way an answer can break on the way reaches the client as such: what
// came is never the whole answer, and a slow answer still comes whole.
void tst_BackendStandIn::transferFaultsReachTheClient()
{
    QFETCH_GLOBAL(bool, http2);
    QFETCH(StandInReply, reply);
    QFETCH(bool, complete);
    QFETCH(int, atLeastMs);
    needPrivateNetwork();
    m_standIn->script(Primary, QStringLiteral("/cdn-cgi/"), reply, -1);
    QElapsedTimer clock;
    clock.start();
    const Answer answer = get(Primary, QStringLiteral("/cdn-cgi/trace"), QString(), 10000);
    QVERIFY(clock.elapsed() >= atLeastMs);
    QCOMPARE(answer.status, 200); // the head came
    QCOMPARE(answer.http2, http2);
    if (complete) {
        QCOMPARE(answer.error, QNetworkReply::NoError);
        QCOMPARE(answer.body, reply.body);
    } else {
        QVERIFY2(answer.error == QNetworkReply::RemoteHostClosedError, qPrintable(QString::number(answer.error)));
        QVERIFY(answer.body != reply.body);
    }
}

// The check of the client's headers looks at the same headers, whichever
// version carried them.
void tst_BackendStandIn::headerCheckAppliesToEitherVersion()
{
    QFETCH_GLOBAL(bool, http2);
    needPrivateNetwork();
    QNetworkRequest request(QUrl(QStringLiteral("https://%1:%2/api/auth/get-login-code").arg(Primary).arg(m_standIn->port())));
    request.setRawHeader("X-App-Version", "3.7.8");
    request.setRawHeader("X-Platform", "linux");
    const Answer refused = send(request, "POST", R"({"email":"either@kelvra.test"})");
    QCOMPARE(refused.status, 400);
    QCOMPARE(refused.http2, http2);
    QCOMPARE(m_standIn->headerFaults(), QStringList{QStringLiteral("POST auth/get-login-code: X-Platform")});
    request.setRawHeader("X-Platform", "windows");
    QCOMPARE(send(request, "POST", R"({"email":"either@kelvra.test"})").status, 200);
}

void tst_BackendStandIn::http2ExchangesAtTheFrameLevel_data()
{
    // Header blocks in HPACK: 0x82 ":method GET", 0x83 ":method POST",
    // 0x87 ":scheme https", 0x84 ":path /", 0x01 ":authority" and 0x04 ":path"
    // with a literal value, 0x0f 0x0d "content-length" with a literal value,
    // 0x00 a new name; each literal is preceded by its length.
    const quint8 endStream = 0x1, endHeaders = 0x4;
    QTest::addColumn<QByteArray>("frames");
    QTest::addColumn<int>("type");  // the frame expected back: 3 RST_STREAM, 7 GOAWAY; -1 none
    QTest::addColumn<int>("error"); // its error code
    QTest::newRow("upgrade answer: use HTTP/1.1")
        << frame(0x1, endStream | endHeaders, 1, QByteArray("\x82\x87\x01\x01" "a\x04\x09/ws/probe", 16)) << 3 << 0xd;
    QTest::newRow("settings frame of a wrong size") << frame(0x4, 0, 0, QByteArray(5, '\0')) << 7 << 0x6;
    QTest::newRow("too many header fields")
        << frame(0x1, endStream | endHeaders, 1, QByteArray("\x82\x87\x84\x01\x01" "a") + QByteArray("\x00\x01x\x01y", 5).repeated(150))
        << 7 << 0xb;
    QTest::newRow("body announced beyond the limit")
        << frame(0x1, endHeaders, 1, QByteArray("\x83\x87\x84\x01\x01" "a\x0f\x0d\x0b" "99999999999", 20)) << 7 << 0xb;
}

// What only a client of its own can send: the stand-in answers an upgrade on
// the stream, and closes a connection that breaks the protocol or its limits
// with a GOAWAY, living on for the next client.
void tst_BackendStandIn::http2ExchangesAtTheFrameLevel()
{
    QFETCH_GLOBAL(bool, http2);
    QFETCH(QByteArray, frames);
    QFETCH(int, type);
    QFETCH(int, error);
    const QList<QByteArray> h2{QSslConfiguration::ALPNProtocolHTTP2};
    if (!http2) {
        // HTTP/2 not offered, a client that speaks it anyway is told which
        // version is spoken here.
        const QByteArray refused = raw(preface() + frames, QStringLiteral("127.0.0.1"), h2);
        QVERIFY2(refused.startsWith("HTTP/1.1 505"), refused.left(200).constData());
        return;
    }
    m_standIn->script(QString(), QStringLiteral("/ws/"), StandInReply::status(101, QByteArray(),
                                                                              {{"Upgrade", "websocket"}}));
    const QList<QPair<int, int>> answer = framesOf(raw(preface() + frames, QStringLiteral("127.0.0.1"), h2));
    QVERIFY(!answer.isEmpty());
    QCOMPARE(answer.first().first, 0x4); // the server's SETTINGS open its side
    QVERIFY2(answer.contains(qMakePair(type, error)), qPrintable(QString::number(answer.size())));
    QCOMPARE(answer.contains(qMakePair(7, error)), type == 7);

    // Not HTTP/2 at all after choosing it: closed without an HTTP/1.1 answer.
    QVERIFY(!raw("GET /cdn-cgi/trace HTTP/1.1\r\nHost: a\r\n\r\n", QStringLiteral("127.0.0.1"), h2).contains("HTTP/1.1"));
    // Still serving.
    QNetworkRequest trace(QUrl(QStringLiteral("https://127.0.0.1:%1/cdn-cgi/trace").arg(m_standIn->port())));
    const Answer alive = send(trace, "GET", QByteArray());
    QCOMPARE(alive.status, 200);
    QVERIFY(alive.http2);
}
