// How long the client itself takes from openConnection() to Connected on a
// direct route, next to what the stand-ins spend on the same exchanges.
//
// Both stand-ins run in this process on loopback; the service brings a
// tunnel up the moment it is activated. One round: the connection
// controller's connect until Connected, then a disconnect. The floor, measured
// in the same run: the same configuration GET sent bare with a plain access
// manager, and the same activation sent bare on the daemon's socket, until its
// "connected". The client's share is the round less the floor.
// Goal: the client adds under 50 ms.

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "account/UserManager.h"
#include "api/ApiHost.h"
#include "app/CoreController.h"
#include "app/Settings.h"
#include "connection/ConnectionController.h"
#include "ipc/LocalSocketController.h"
#include "ipc/ServiceNames.h"
#include "servers/Pinger.h"
#include "servers/ServersModel.h"
#include "tests/api/ApiTestSupport.h"
#include "tools/service/ServiceStandIn.h"
#include "vpn/VpnConnection.h"

namespace {
constexpr int kRounds = 21;
const QString kConfigId = QStringLiteral("nl-ams-free:1");

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

bool waitFor(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// The configuration GET the client sends, sent bare.
double bareFetchMs(QNetworkAccessManager &manager, const QString &token)
{
    QNetworkRequest request(QUrl(ApiHost::url(QStringLiteral("client/configuration/") + QString(kConfigId).replace(
                                                  QLatin1Char(':'), QStringLiteral("%3A"))
                                              + QStringLiteral("?vpn_type=WireGuard"))));
    request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    QElapsedTimer clock;
    clock.start();
    QNetworkReply *reply = manager.get(request);
    waitFor([reply] { return reply->isFinished(); }, 10000);
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    reply->deleteLater();
    return ms;
}

// The activation the driver sends, sent bare, until the daemon's "connected".
double bareActivationMs(const QJsonObject &config)
{
    QLocalSocket socket;
    socket.connectToServer(ServiceNames::daemonSocket());
    if (!socket.waitForConnected(5000))
        return -1;
    QElapsedTimer clock;
    clock.start();
    socket.write(QJsonDocument(LocalSocketController::activateMessage(config)).toJson(QJsonDocument::Compact) + '\n');
    QByteArray buffer;
    waitFor([&] {
        buffer += socket.readAll();
        return buffer.contains("\"connected\"");
    }, 5000);
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    socket.write("{\"type\":\"deactivate\"}\n");
    socket.waitForBytesWritten(1000);
    return ms;
}
} // namespace

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QGuiApplication app(argc, argv);
    app.setOrganizationName(QStringLiteral("Kelvra.Inc"));
    app.setApplicationName(QStringLiteral("Kelvra"));
    if (!TestEnvironment::inPrivateNetwork()) {
        fprintf(stderr, "run inside the test network: bash scripts/netns.sh bash scripts/keyring.sh %s\n", argv[0]);
        return 2;
    }
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});

    BackendStandIn backend;
    if (!ApiTestSupport::startStandIn(backend))
        return 1;
    backend.setDeviceLimit(0);
    const QByteArray pid = QByteArray::number(QCoreApplication::applicationPid());
    qputenv("KELVRA_TEST_IPC_NAME", "kelvra-bench-" + pid);
    qputenv("KELVRA_TEST_DAEMON_SOCKET", (TestEnvironment::home() + QStringLiteral("/run/daemon.socket")).toUtf8());
    qputenv("KELVRA_TEST_SERVICE_BINARY", QCoreApplication::applicationFilePath().toUtf8());
    ServiceStandIn::Options options;
    options.ipcUrl = ServiceNames::ipcUrl();
    options.daemonSocket = ServiceNames::daemonSocket();
    options.script.connectDelayMs = 0;
    options.script.statusIntervalMs = 0;
    ServiceStandIn service(options);
    if (!service.start())
        return 1;

    auto settings = QSharedPointer<Settings>::create();
    auto vpn = QSharedPointer<VpnConnection>::create(settings);
    CoreController core(nullptr, vpn, settings);
    core.serversModel()->pingerForTesting()->setCommandForTesting(QStringLiteral("true"), {});
    const QString token = ApiTestSupport::signInAs(backend, QStringLiteral("bench@example.com"));
    ServersModel *servers = core.serversModel();
    servers->reconcileAccount(QStringLiteral("bench@example.com"));
    servers->fetchServers();
    if (!waitFor([servers] { return servers->serverByConfigId(kConfigId) != nullptr; }, 20000))
        return 1;
    ServersModel::Server *server = servers->serverByConfigId(kConfigId);
    server->selectedProtocol = VpnProtocol::WireGuard; // a direct route: no Smart Connect walk
    servers->updateCurrentServer(server);
    ConnectionController *controller = core.connectionController();

    QNetworkAccessManager bare;
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    std::vector<double> rounds, fetches, activations;
    for (int i = 0; i < kRounds; ++i) {
        QElapsedTimer clock;
        clock.start();
        controller->openConnection();
        if (!waitFor([controller] { return controller->isConnected(); }, 20000))
            return 1;
        rounds.push_back(double(clock.nsecsElapsed()) / 1e6);
        const QJsonObject config = vpn->configuration();
        controller->closeConnection(QStringLiteral("the benchmark"));
        waitFor([&] { return !vpn->vpnProtocol() && !controller->isConnectionInProgress(); }, 10000);
        // Drivers let go are deleted on the event loop; let them go first.
        waitFor([] { return false; }, 300);

        fetches.push_back(bareFetchMs(bare, token));
        activations.push_back(bareActivationMs(config));
        waitFor([] { return false; }, 50);
    }
    const double round = median(rounds);
    const double floor = median(fetches) + median(activations);
    printf("ms connect %.1f\n", round);
    printf("ms stand-ins %.1f\n", floor);
    printf("ms client-added %.1f\n", round - floor);
    printf("ratio connect-vs-stand-ins %.2f\n", floor > 0 ? round / floor : 0.0);
    controller->closeConnection(QStringLiteral("the benchmark"));
    waitFor([] { return false; }, 300);
    return 0;
}
