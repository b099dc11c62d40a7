#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QProcess>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include "support/TestEnvironment.h"
#include "tests/tools/service/DaemonClient.h"
#include "tools/service/ServiceStandIn.h"
#include "tools/service/StandInDaemon.h"

namespace {
const auto type = QStringLiteral("type");

QJsonObject message(const QString &messageType, QJsonObject rest = QJsonObject())
{
    rest.insert(QStringLiteral("type"), messageType);
    return rest;
}

// A one-page HTTP server on loopback, plain or TLS, answering every request
// with the same status, body and Retry-After, and remembering what it got.
class TinyHttpServer : public QObject
{
public:
    explicit TinyHttpServer(QTcpServer *server)
        : m_server(server)
    {
        m_server->setParent(this);
        const auto take = [this] {
            while (QTcpSocket *socket = m_server->nextPendingConnection())
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        };
        connect(m_server, &QTcpServer::newConnection, this, take);
        connect(m_server, &QTcpServer::pendingConnectionAvailable, this, take);
        QVERIFY(m_server->listen(QHostAddress::LocalHost));
    }

    quint16 port() const { return m_server->serverPort(); }

    int status = 200;
    QByteArray body;
    QByteArray retryAfter;
    bool silent = false;
    QList<QByteArray> requests;

private:
    void onReadyRead(QTcpSocket *socket)
    {
        QByteArray &buffer = m_buffers[socket];
        buffer += socket->readAll();
        if (!buffer.contains("\r\n\r\n"))
            return;
        requests.append(buffer.left(buffer.indexOf("\r\n\r\n")));
        buffer.clear();
        if (silent)
            return;
        QByteArray answer = "HTTP/1.1 " + QByteArray::number(status) + " Answer\r\nContent-Type: application/json\r\n";
        if (!retryAfter.isEmpty())
            answer += "Retry-After: " + retryAfter + "\r\n";
        answer += "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
        socket->write(answer);
        socket->disconnectFromHost();
    }

    QTcpServer *m_server;
    QHash<QTcpSocket *, QByteArray> m_buffers;
};

bool openssl(const QString &dir, const QStringList &arguments)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.start(QStringLiteral("openssl"), arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// A certificate authority named `name` in `dir`: name.pem and name.key.
bool makeCa(const QString &dir, const QString &name)
{
    return openssl(dir, {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                         QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"),
                         QStringLiteral("-nodes"), QStringLiteral("-keyout"), name + QStringLiteral(".key"),
                         QStringLiteral("-out"), name + QStringLiteral(".pem"), QStringLiteral("-days"),
                         QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=") + name});
}

// server.pem/server.key for 127.0.0.1, signed by the CA `ca`.
bool makeServerCertificate(const QString &dir, const QString &ca)
{
    QFile extensions(dir + QStringLiteral("/san.ext"));
    if (!extensions.open(QIODevice::WriteOnly) || extensions.write("subjectAltName=IP:127.0.0.1\n") <= 0)
        return false;
    extensions.close();
    return openssl(dir, {QStringLiteral("req"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                         QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"),
                         QStringLiteral("-nodes"), QStringLiteral("-keyout"), QStringLiteral("server.key"),
                         QStringLiteral("-out"), QStringLiteral("server.csr"), QStringLiteral("-subj"),
                         QStringLiteral("/CN=127.0.0.1")})
        && openssl(dir, {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                         QStringLiteral("server.csr"), QStringLiteral("-CA"), ca + QStringLiteral(".pem"),
                         QStringLiteral("-CAkey"), ca + QStringLiteral(".key"), QStringLiteral("-CAcreateserial"),
                         QStringLiteral("-out"), QStringLiteral("server.pem"), QStringLiteral("-days"),
                         QStringLiteral("2"), QStringLiteral("-extfile"), QStringLiteral("san.ext")});
}
} // namespace

// The stand-in's daemon seen from a bare socket: the wire format, the
// scripted tunnels, the feature requests, apiFetch, and bad input.
class TstStandInDaemon : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        ServiceStandIn::Options options;
        options.ipcUrl = QStringLiteral("local:tst-daemon-ipc-%1").arg(QCoreApplication::applicationPid());
        options.daemonSocket = TestEnvironment::home() + QStringLiteral("/run/daemon.socket");
        options.script.connectDelayMs = 200;
        options.script.statusIntervalMs = 100;
        m_service.reset(new ServiceStandIn(options));
        QVERIFY(m_service->start());
        QVERIFY(m_client.connectTo(options.daemonSocket));
    }

    void cleanup()
    {
        m_service.reset();
    }

    void statusWithoutTunnel()
    {
        m_client.send(message(QStringLiteral("status")));
        const QJsonObject status = m_client.waitFor(QStringLiteral("status"));
        QCOMPARE(status.value(QStringLiteral("connected")), QJsonValue(false));
        QCOMPARE(status.value(QStringLiteral("killSwitchBlock")), QJsonValue(false));
        QVERIFY(!status.contains(QStringLiteral("rxBytes")));
    }

    void tunnelKeptFromAnEarlierRun()
    {
        // What a client finds at start-up after it crashed with a tunnel up.
        m_service->bringTunnelUp();
        m_client.send(message(QStringLiteral("status")));
        const QJsonObject status = m_client.waitFor(QStringLiteral("status"));
        QVERIFY(!status.contains(QStringLiteral("connected")));
        QVERIFY(status.value(QStringLiteral("rxBytes")).isDouble());
        m_client.send(message(QStringLiteral("deactivate")));
        QVERIFY(!m_client.waitFor(QStringLiteral("deactivate")).isEmpty());
        QCOMPARE(m_service->tunnelState(), StandInTunnel::State::Down);
        QCOMPARE(m_service->calls(QStringLiteral("daemon"), QStringLiteral("activate")).size(), 0);
    }

    void activationConnectsAfterDelayAndPushesStatus()
    {
        const QJsonObject activate = message(QStringLiteral("activate"), {{QStringLiteral("privateKey"), QStringLiteral("k")},
                                                                          {QStringLiteral("serverPort"), 51820}});
        QElapsedTimer sinceActivate;
        sinceActivate.start();
        m_client.send(activate);
        QVERIFY(!m_client.waitFor(QStringLiteral("connected")).isEmpty());
        QVERIFY2(sinceActivate.elapsed() >= 150, "connected before the scripted delay");

        const QJsonObject first = m_client.waitFor(QStringLiteral("status"));
        const QJsonObject second = m_client.waitFor(QStringLiteral("status"));
        QVERIFY(!first.contains(QStringLiteral("connected")));
        QVERIFY(first.value(QStringLiteral("rxBytes")).isDouble());
        QCOMPARE(second.value(QStringLiteral("rxBytes")).toDouble() - first.value(QStringLiteral("rxBytes")).toDouble(),
                 250000.0);
        QCOMPARE(second.value(QStringLiteral("txBytes")).toDouble() - first.value(QStringLiteral("txBytes")).toDouble(),
                 50000.0);
        QVERIFY(second.value(QStringLiteral("handshakeAge")).toDouble() <= 240);
        QCOMPARE(second.value(QStringLiteral("probeFailures")).toInt(-1), 0);

        // The activation is recorded whole, for the client's tests to read.
        const QJsonArray activations = m_service->calls(QStringLiteral("daemon"), QStringLiteral("activate"));
        QCOMPARE(activations.size(), 1);
        QCOMPARE(activations.first()[QStringLiteral("message")].toObject(), activate);
    }

    void stallAndRecovery_data()
    {
        QTest::addColumn<bool>("blind");
        QTest::addColumn<int>("probesToDead");
        QTest::newRow("handshake and probes") << false << -1;
        QTest::newRow("probes to dead given") << false << 4;
        QTest::newRow("blind: byte counts only") << true << -1;
    }

    void stallAndRecovery()
    {
        QFETCH(bool, blind);
        QFETCH(int, probesToDead);
        TunnelScript script = m_service->options().script;
        script.connectDelayMs = 0;
        script.blind = blind;
        script.probesToDead = probesToDead;
        m_service->setScript(script);
        m_client.send(message(QStringLiteral("activate")));
        QVERIFY(!m_client.waitFor(QStringLiteral("connected")).isEmpty());
        QVERIFY(!m_client.waitFor(QStringLiteral("status")).isEmpty());

        m_service->stall();
        syncWithService();
        const QJsonObject stalled1 = m_client.waitFor(QStringLiteral("status"));
        const QJsonObject stalled2 = m_client.waitFor(QStringLiteral("status"));
        QCOMPARE(stalled2.value(QStringLiteral("rxBytes")), stalled1.value(QStringLiteral("rxBytes")));
        QCOMPARE(stalled1.contains(QStringLiteral("handshakeAge")), !blind);
        QCOMPARE(stalled1.contains(QStringLiteral("probeFailures")), !blind);
        QCOMPARE(stalled1.contains(QStringLiteral("probesToDead")), probesToDead >= 0);
        if (!blind) {
            QVERIFY(stalled1.value(QStringLiteral("handshakeAge")).toDouble() > 240);
            QVERIFY(stalled1.value(QStringLiteral("probeFailures")).toInt()
                    >= (probesToDead >= 0 ? probesToDead : 2));
            QCOMPARE(stalled1.value(QStringLiteral("probesToDead")).toInt(2), probesToDead >= 0 ? probesToDead : 2);
        }

        m_service->recover();
        syncWithService();
        const QJsonObject alive1 = m_client.waitFor(QStringLiteral("status"));
        const QJsonObject alive2 = m_client.waitFor(QStringLiteral("status"));
        QVERIFY(alive2.value(QStringLiteral("rxBytes")).toDouble() > alive1.value(QStringLiteral("rxBytes")).toDouble());
        if (!blind) {
            QVERIFY(alive1.value(QStringLiteral("handshakeAge")).toDouble() <= 240);
            QCOMPARE(alive1.value(QStringLiteral("probeFailures")).toInt(-1), 0);
        }
    }

    void scriptedEventsPlayInOrder()
    {
        TunnelScript script;
        QString error;
        QVERIFY2(TunnelScript::fromJson(QJsonDocument::fromJson(R"({
            "connectDelayMs": 50, "statusIntervalMs": 50,
            "events": [{"at": 150, "do": "stall"}, {"at": 400, "do": "error", "code": 201},
                       {"at": 500, "do": "noTunnel"}, {"at": 700, "do": "disconnected"}]})")
                                             .object(),
                                         &script, &error),
                 qPrintable(error));
        m_service->setScript(script);
        m_client.send(message(QStringLiteral("activate")));
        QVERIFY(!m_client.waitFor(QStringLiteral("connected")).isEmpty());
        QVERIFY(!m_client.waitFor(QStringLiteral("status"), 5000, [](const QJsonObject &status) {
                    return status.value(QStringLiteral("handshakeAge")).toDouble() > 240;
                }).isEmpty());
        QCOMPARE(m_client.waitFor(QStringLiteral("error")).value(QStringLiteral("error")).toInt(), 201);
        QVERIFY(!m_client.waitFor(QStringLiteral("status"), 5000, [](const QJsonObject &status) {
                    return status.value(QStringLiteral("connected")) == QJsonValue(false);
                }).isEmpty());
        QVERIFY(!m_client.waitFor(QStringLiteral("disconnected")).isEmpty());
        QCOMPARE(m_service->tunnelState(), StandInTunnel::State::Down);
    }

    void scriptRefusesUnknownActions()
    {
        TunnelScript script;
        QString error;
        QVERIFY(!TunnelScript::fromJson(QJsonDocument::fromJson(R"({"events": [{"at": 1, "do": "explode"}]})").object(),
                                        &script, &error));
        QVERIFY(error.contains(QStringLiteral("explode")));
        QVERIFY(!TunnelScript::fromJson(QJsonDocument::fromJson(R"({"connectDelayMs": -5})").object(), &script, &error));
    }

    void activationFailsByScript()
    {
        TunnelScript script;
        script.connectDelayMs = 0;
        script.activateError = 400;
        m_service->setScript(script);
        m_client.send(message(QStringLiteral("activate")));
        QCOMPARE(m_client.waitFor(QStringLiteral("error")).value(QStringLiteral("error")).toInt(), 400);
        QTest::qWait(200);
        for (const QJsonObject &pending : m_client.pending())
            QVERIFY(pending.value(type).toString() != QLatin1String("connected"));
        QCOMPARE(m_service->tunnelState(), StandInTunnel::State::Down);
    }

    void deactivateAnswersAndTellsEveryone()
    {
        DaemonClient watcher;
        QVERIFY(watcher.connectTo(m_service->options().daemonSocket));
        m_client.send(message(QStringLiteral("activate")));
        QVERIFY(!watcher.waitFor(QStringLiteral("connected")).isEmpty());
        m_client.send(message(QStringLiteral("deactivate")));
        QVERIFY(!m_client.waitFor(QStringLiteral("deactivate")).isEmpty());
        QVERIFY(!watcher.waitFor(QStringLiteral("disconnected")).isEmpty());
        m_client.send(message(QStringLiteral("status")));
        QCOMPARE(m_client.waitFor(QStringLiteral("status")).value(QStringLiteral("connected")), QJsonValue(false));
    }

    void dropKeepsTheTunnelRestartLosesIt()
    {
        m_client.send(message(QStringLiteral("activate")));
        QVERIFY(!m_client.waitFor(QStringLiteral("connected")).isEmpty());
        m_service->dropDaemonClients();
        QVERIFY(m_client.waitForDisconnected());
        QVERIFY(m_client.connectTo(m_service->options().daemonSocket));
        m_client.send(message(QStringLiteral("status")));
        QVERIFY(m_client.waitFor(QStringLiteral("status")).value(QStringLiteral("rxBytes")).isDouble());

        QSignalSpy restarted(m_service.get(), &ServiceStandIn::restarted);
        m_service->restart(1000);
        QVERIFY(m_client.waitForDisconnected());
        QVERIFY(!m_client.connectTo(m_service->options().daemonSocket, 100));
        QVERIFY(restarted.wait(5000));
        QVERIFY(m_client.connectTo(m_service->options().daemonSocket));
        m_client.send(message(QStringLiteral("status")));
        QCOMPARE(m_client.waitFor(QStringLiteral("status")).value(QStringLiteral("connected")), QJsonValue(false));
    }

    void featureRequests_data()
    {
        QTest::addColumn<QJsonObject>("request");
        QTest::addColumn<bool>("unavailable");
        QTest::addColumn<QJsonObject>("expected");
        const QJsonArray domains{QStringLiteral("ads.example"), QStringLiteral("track.example"), 7};
        QTest::newRow("adBlock on")
            << message(QStringLiteral("adBlock"), {{QStringLiteral("enabled"), true}, {QStringLiteral("domains"), domains}})
            << false
            << message(QStringLiteral("adBlock"), {{QStringLiteral("enabled"), true}, {QStringLiteral("count"), 2}});
        QTest::newRow("adBlock off")
            << message(QStringLiteral("adBlock"), {{QStringLiteral("enabled"), false}}) << false
            << message(QStringLiteral("adBlock"), {{QStringLiteral("enabled"), false}, {QStringLiteral("count"), 0}});
        QTest::newRow("bypass")
            << message(QStringLiteral("bypass"), {{QStringLiteral("sites"), QJsonArray{QStringLiteral("a.example"), QStringLiteral("b.example")}}})
            << false << message(QStringLiteral("bypass"), {{QStringLiteral("count"), 2}});
        QTest::newRow("bypass unavailable")
            << message(QStringLiteral("bypass"), {{QStringLiteral("sites"), QJsonArray()}}) << true
            << message(QStringLiteral("bypass"), {{QStringLiteral("count"), 0}, {QStringLiteral("error"), QStringLiteral("unavailable")}});
    }

    void featureRequests()
    {
        QFETCH(QJsonObject, request);
        QFETCH(bool, unavailable);
        QFETCH(QJsonObject, expected);
        m_service->setFeaturesUnavailable(unavailable);
        m_client.send(request);
        QCOMPARE(m_client.waitFor(request.value(type).toString()), expected);
    }

    void ignoredTypesGoUnanswered()
    {
        m_service->setIgnoredTypes({QStringLiteral("adBlock")});
        m_client.send(message(QStringLiteral("adBlock"), {{QStringLiteral("enabled"), false}}));
        m_client.send(message(QStringLiteral("status")));
        QVERIFY(!m_client.waitFor(QStringLiteral("status")).isEmpty());
        QVERIFY(m_client.waitFor(QStringLiteral("adBlock"), 300).isEmpty());
        QCOMPARE(m_service->calls(QStringLiteral("daemon"), QStringLiteral("adBlock")).size(), 1);
    }

    void malformedInput_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("closes");
        QTest::newRow("not JSON") << QByteArray("hello daemon\n") << false;
        QTest::newRow("an array") << QByteArray("[1,2,3]\n") << false;
        QTest::newRow("no type") << QByteArray("{\"enabled\":true}\n") << false;
        QTest::newRow("type not a text") << QByteArray("{\"type\":5}\n") << false;
        QTest::newRow("empty lines") << QByteArray("\n   \n\r\n") << false;
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe{\n", 5) << false;
        // Past the longest line the daemon takes (a whole blocklist fits under it).
        QTest::newRow("huge without a line end") << QByteArray(StandInDaemon::MaxLineBytes + 1024 * 1024, 'x') << true;
    }

    void malformedInput()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, closes);
        m_client.sendRaw(bytes);
        if (closes) {
            QVERIFY(m_client.waitForDisconnected(60000)); // close to 100 MB to take in first
            QVERIFY(m_client.connectTo(m_service->options().daemonSocket));
        }
        m_client.send(message(QStringLiteral("status")));
        QCOMPARE(m_client.waitFor(QStringLiteral("status")).value(QStringLiteral("connected")), QJsonValue(false));
        QCOMPARE(m_service->calls(QStringLiteral("daemon")).size(), 1);
    }

    void lineSplitAcrossWrites()
    {
        m_client.sendRaw("{\"type\":");
        QTest::qWait(100);
        m_client.sendRaw("\"status\"}\n{\"type\":\"bypass\",\"sites\":[]}\n");
        QVERIFY(!m_client.waitFor(QStringLiteral("status")).isEmpty());
        QVERIFY(!m_client.waitFor(QStringLiteral("bypass")).isEmpty());
    }

    void apiFetch_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("answerStatus");
        QTest::addColumn<QByteArray>("retryAfter");
        QTest::addColumn<int>("expectedStatus");
        QTest::addColumn<QByteArray>("expectedRequestLine");
        const QString configPath = QStringLiteral("/api/client/configuration/de%3Afra%3A1?vpn_type=WireGuard");
        QTest::newRow("answered") << "127.0.0.1" << configPath << 200 << QByteArray() << 200
                                  << QByteArray("GET " + configPath.toLatin1() + " HTTP/1.1");
        QTest::newRow("rate limited") << "127.0.0.1" << configPath << 429 << QByteArray("30") << 429
                                      << QByteArray("GET " + configPath.toLatin1() + " HTTP/1.1");
        QTest::newRow("not an API host") << "attacker.example" << configPath << 200 << QByteArray() << 0 << QByteArray();
        QTest::newRow("outside the API path") << "127.0.0.1" << "/admin?x=1" << 200 << QByteArray() << 0 << QByteArray();
        QTest::newRow("climbing out") << "127.0.0.1" << "/api/../admin?" << 200 << QByteArray() << 0 << QByteArray();
    }

    void apiFetch()
    {
        QFETCH(QString, host);
        QFETCH(QString, path);
        QFETCH(int, answerStatus);
        QFETCH(QByteArray, retryAfter);
        QFETCH(int, expectedStatus);
        QFETCH(QByteArray, expectedRequestLine);
        TinyHttpServer server(new QTcpServer);
        server.status = answerStatus;
        server.retryAfter = retryAfter;
        server.body = R"({"configuration":"[Interface]\nPrivateKey = abc="})";
        StandInApiFetcher::Options api;
        api.baseUrl = QUrl(QStringLiteral("http://127.0.0.1:%1/api/").arg(server.port()));
        m_service->setApiOptions(api);

        m_client.send(message(QStringLiteral("apiFetch"), {{QStringLiteral("host"), host},
                                                          {QStringLiteral("path"), path},
                                                          {QStringLiteral("token"), QStringLiteral("session-token")}}));
        const QJsonObject reply = m_client.waitFor(QStringLiteral("apiFetch"), 10000);
        QCOMPARE(reply.value(QStringLiteral("status")).toInt(-1), expectedStatus);
        if (expectedStatus == 0) {
            QVERIFY(server.requests.isEmpty());
            QVERIFY(reply.value(QStringLiteral("body")).toString().isEmpty());
            return;
        }
        QCOMPARE(QByteArray::fromBase64(reply.value(QStringLiteral("body")).toString().toLatin1()), server.body);
        QCOMPARE(reply.value(QStringLiteral("retryAfter")).toString().toLatin1(), retryAfter);
        QCOMPARE(server.requests.size(), 1);
        const QList<QByteArray> lines = server.requests.first().split('\n');
        QCOMPARE(lines.first().trimmed(), expectedRequestLine);
        QVERIFY(server.requests.first().contains("\r\nAuthorization: Bearer session-token"));
    }

    void apiFetchTimesOut()
    {
        TinyHttpServer server(new QTcpServer);
        server.silent = true;
        StandInApiFetcher::Options api;
        api.baseUrl = QUrl(QStringLiteral("http://127.0.0.1:%1/api/").arg(server.port()));
        api.timeoutMs = 300;
        m_service->setApiOptions(api);
        m_client.send(message(QStringLiteral("apiFetch"), {{QStringLiteral("host"), QStringLiteral("127.0.0.1")},
                                                          {QStringLiteral("path"), QStringLiteral("/api/me?")},
                                                          {QStringLiteral("token"), QStringLiteral("t")}}));
        const QJsonObject reply = m_client.waitFor(QStringLiteral("apiFetch"), 10000);
        QVERIFY(!reply.isEmpty());
        QCOMPARE(reply.value(QStringLiteral("status")).toInt(-1), 0);
    }

    void apiFetchTrustsOnlyTheGivenCa_data()
    {
        QTest::addColumn<QString>("trusted");
        QTest::addColumn<int>("expectedStatus");
        QTest::newRow("the server's CA") << "ca" << 200;
        QTest::newRow("another CA") << "other" << 0;
    }

    void apiFetchTrustsOnlyTheGivenCa()
    {
        QFETCH(QString, trusted);
        QFETCH(int, expectedStatus);
        QTemporaryDir dir;
        if (!makeCa(dir.path(), QStringLiteral("ca")) || !makeCa(dir.path(), QStringLiteral("other"))
            || !makeServerCertificate(dir.path(), QStringLiteral("ca")))
            QSKIP("openssl could not make the test certificates");
        auto *tls = new QSslServer;
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificate(QSslCertificate::fromPath(dir.filePath(QStringLiteral("server.pem"))).value(0));
        QFile key(dir.filePath(QStringLiteral("server.key")));
        QVERIFY(key.open(QIODevice::ReadOnly));
        configuration.setPrivateKey(QSslKey(&key, QSsl::Ec));
        tls->setSslConfiguration(configuration);
        TinyHttpServer server(tls);
        server.body = "{}";
        StandInApiFetcher::Options api;
        api.baseUrl = QUrl(QStringLiteral("https://127.0.0.1:%1/api/").arg(server.port()));
        api.caFile = dir.filePath(trusted + QStringLiteral(".pem"));
        m_service->setApiOptions(api);
        m_client.send(message(QStringLiteral("apiFetch"), {{QStringLiteral("host"), QStringLiteral("127.0.0.1")},
                                                          {QStringLiteral("path"), QStringLiteral("/api/me?")},
                                                          {QStringLiteral("token"), QStringLiteral("t")}}));
        const QJsonObject reply = m_client.waitFor(QStringLiteral("apiFetch"), 10000);
        QCOMPARE(reply.value(QStringLiteral("status")).toInt(-1), expectedStatus);
        QCOMPARE(server.requests.size(), expectedStatus ? 1 : 0);
    }

private:
    // Everything the client takes after this was sent after the call before
    // it: the daemon answers in order, and the answer to a request of its own
    // skips whatever was pushed earlier.
    void syncWithService()
    {
        m_client.send(message(QStringLiteral("bypass"), {{QStringLiteral("sites"), QJsonArray()}}));
        QVERIFY(!m_client.waitFor(QStringLiteral("bypass")).isEmpty());
    }

    std::unique_ptr<ServiceStandIn> m_service;
    DaemonClient m_client;
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    TstStandInDaemon test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_standindaemon.moc"
