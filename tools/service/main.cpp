// The Kelvra service stand-in as a program (kelvra-service-standin), and the
// impostor built from the same source (kelvra-service-impostor): the client
// must refuse the latter for being another executable, however well it answers.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include "tools/service/ServiceStandIn.h"
#include "tools/service/StandInControl.h"
#include "tools/service/StandInOpenVpnServer.h"

namespace {
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[0], &byte, 1);
}

// SIGTERM and SIGINT end the program through the event loop, so the
// OpenVPN processes it runs are stopped and its socket files removed.
void quitOnSignals(QCoreApplication *app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, &QCoreApplication::quit);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

QString fromEnvironment(const char *variable, const QString &fallback)
{
    const QString value = qEnvironmentVariable(variable);
    return value.isEmpty() ? fallback : value;
}

// The resolver the client asks through a Stealth tunnel. Outside the test
// network it is no address of this machine, and nothing answers there.
const QString DefaultDnsAddress = QStringLiteral("8.8.8.8");

[[noreturn]] void fail(const QString &message)
{
    QTextStream(stderr) << QCoreApplication::applicationName() << ": " << message << Qt::endl;
    ::exit(2);
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ServiceStandIn::Options options;

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Plays the Kelvra service on this machine."));
    parser.addHelpOption();
    const QCommandLineOption ipcName(
        QStringLiteral("ipc-name"),
        QStringLiteral("Remote-object server name (default: $KELVRA_TEST_IPC_NAME, else KelvraIpcInterface)."),
        QStringLiteral("name"));
    const QCommandLineOption daemonSocket(
        QStringLiteral("daemon-socket"),
        QStringLiteral("Daemon socket (default: $KELVRA_TEST_DAEMON_SOCKET, else %1).").arg(options.daemonSocket),
        QStringLiteral("path"));
    const QCommandLineOption control(QStringLiteral("control"),
                                     QStringLiteral("Control socket name for scripting (see StandInControl.h)."),
                                     QStringLiteral("name"));
    const QCommandLineOption openVpn(QStringLiteral("openvpn"),
                                     QStringLiteral("OpenVPN executable (default %1).").arg(options.openVpnPath),
                                     QStringLiteral("path"));
    const QCommandLineOption lockdownDelay(QStringLiteral("lockdown-delay"),
                                           QStringLiteral("setLockdown(true) answers after ms; -1: never."),
                                           QStringLiteral("ms"));
    const QCommandLineOption lockdownRefuse(QStringLiteral("lockdown-refuse"),
                                            QStringLiteral("setLockdown(true) answers false."));
    const QCommandLineOption script(QStringLiteral("script"),
                                    QStringLiteral("Tunnel script, JSON (see TunnelScript.h)."),
                                    QStringLiteral("file"));
    const QCommandLineOption apiBaseUrl(QStringLiteral("api-base-url"),
                                        QStringLiteral("API base URL apiFetch reaches (default %1).")
                                            .arg(options.api.baseUrl.toString()),
                                        QStringLiteral("url"));
    const QCommandLineOption apiHost(QStringLiteral("api-host"),
                                     QStringLiteral("A backup API host apiFetch may reach (repeat; replaces %1).")
                                         .arg(options.api.backupHosts.join(QStringLiteral(", "))),
                                     QStringLiteral("host"));
    const QCommandLineOption caFile(QStringLiteral("ca-file"),
                                    QStringLiteral("The only CA apiFetch trusts (default: the backend stand-in's, "
                                                   "when it is there)."),
                                    QStringLiteral("pem"));
    const QCommandLineOption tunnelUp(QStringLiteral("tunnel-up"),
                                      QStringLiteral("Start with a tunnel up, as one kept from an earlier run."));
    const QCommandLineOption killSwitchBlock(
        QStringLiteral("kill-switch-block"),
        QStringLiteral("Report \"killSwitchBlock\": true, as a service that kept its block from a crash."));
    const QCommandLineOption ignore(QStringLiteral("ignore"),
                                    QStringLiteral("Leave daemon messages of this type unanswered (repeat)."),
                                    QStringLiteral("type"));
    const QCommandLineOption openVpnServer(
        QStringLiteral("openvpn-server"),
        QStringLiteral("Also run a real OpenVPN server at this local address and UDP port (needs /dev/net/tun)."),
        QStringLiteral("address:port"));
    const QCommandLineOption openVpnClientConfig(
        QStringLiteral("openvpn-client-config"),
        QStringLiteral("Write the configuration a client needs for --openvpn-server to this file."),
        QStringLiteral("file"));
    const QCommandLineOption dns(
        QStringLiteral("dns"),
        QStringLiteral("Answer DNS behind the tunnel at this address, port 53, when it is on this machine "
                       "(default %1; \"none\": no name server).")
            .arg(DefaultDnsAddress),
        QStringLiteral("address"));
    parser.addOptions({ipcName, daemonSocket, control, openVpn, lockdownDelay, lockdownRefuse, script, apiBaseUrl,
                       apiHost, caFile, tunnelUp, killSwitchBlock, ignore, openVpnServer, openVpnClientConfig, dns});
    parser.process(app);

    options.ipcUrl = QStringLiteral("local:")
        + (parser.isSet(ipcName) ? parser.value(ipcName)
                                 : fromEnvironment("KELVRA_TEST_IPC_NAME", QStringLiteral("KelvraIpcInterface")));
    options.daemonSocket = parser.isSet(daemonSocket)
        ? parser.value(daemonSocket)
        : fromEnvironment("KELVRA_TEST_DAEMON_SOCKET", options.daemonSocket);
    if (parser.isSet(openVpn))
        options.openVpnPath = parser.value(openVpn);
    if (parser.isSet(lockdownDelay)) {
        bool ok = false;
        options.lockdownDelayMs = parser.value(lockdownDelay).toInt(&ok);
        if (!ok)
            fail(QStringLiteral("--lockdown-delay takes a number of ms"));
    }
    options.lockdownReply = !parser.isSet(lockdownRefuse);
    if (parser.isSet(script)) {
        QFile file(parser.value(script));
        if (!file.open(QIODevice::ReadOnly))
            fail(QStringLiteral("can't read %1").arg(file.fileName()));
        QString error;
        if (!TunnelScript::fromJson(QJsonDocument::fromJson(file.readAll()).object(), &options.script, &error))
            fail(QStringLiteral("%1: %2").arg(file.fileName(), error));
    }
    if (parser.isSet(apiBaseUrl)) {
        options.api.baseUrl = QUrl(parser.value(apiBaseUrl), QUrl::StrictMode);
        if (!options.api.baseUrl.isValid() || options.api.baseUrl.host().isEmpty())
            fail(QStringLiteral("--api-base-url is not a URL"));
    }
    if (parser.isSet(apiHost))
        options.api.backupHosts = parser.values(apiHost);
    const QString defaultCa = QStringLiteral(KELVRA_SOURCE_DIR "/tools/backend/certs/ca.pem");
    if (parser.isSet(caFile))
        options.api.caFile = parser.value(caFile);
    else if (QFileInfo::exists(defaultCa))
        options.api.caFile = defaultCa;
    options.tunnelUpAtStart = parser.isSet(tunnelUp);
    const QString dnsAddress = parser.isSet(dns) ? parser.value(dns) : DefaultDnsAddress;
    if (dnsAddress != QLatin1String("none")) {
        options.dnsAddress = QHostAddress(dnsAddress);
        if (options.dnsAddress.protocol() != QAbstractSocket::IPv4Protocol)
            fail(QStringLiteral("--dns takes an IPv4 address or \"none\""));
    }

    quitOnSignals(&app);
    StandInOpenVpnServer tunnelServer;
    if (parser.isSet(openVpnServer)) {
        const QString value = parser.value(openVpnServer);
        const qsizetype colon = value.lastIndexOf(QLatin1Char(':'));
        const QHostAddress address(value.left(colon).remove(QLatin1Char('[')).remove(QLatin1Char(']')));
        bool portOk = false;
        const uint port = value.mid(colon + 1).toUInt(&portOk);
        if (colon < 0 || address.isNull() || !portOk || port == 0 || port > 65535)
            fail(QStringLiteral("--openvpn-server takes address:port"));
        if (!tunnelServer.start(address, quint16(port), 8, quint8(port % 250), options.openVpnPath))
            fail(tunnelServer.error());
        if (parser.isSet(openVpnClientConfig)) {
            QFile config(parser.value(openVpnClientConfig));
            if (!config.open(QIODevice::WriteOnly) || config.write(tunnelServer.clientConfig().toUtf8()) < 0)
                fail(QStringLiteral("can't write %1").arg(config.fileName()));
        }
    }
    ServiceStandIn service(options);
    service.setIgnoredTypes(parser.values(ignore));
    service.setKillSwitchBlock(parser.isSet(killSwitchBlock));
    StandInControl controller(&service);
    if (tunnelServer.isRunning())
        controller.setOpenVpnServer(&tunnelServer);
    if (parser.isSet(control) && !controller.listen(parser.value(control)))
        fail(QStringLiteral("can't listen at the control socket %1").arg(parser.value(control)));
    if (!service.start())
        fail(QStringLiteral("can't serve %1 and %2").arg(options.ipcUrl, options.daemonSocket));
    // Tests wait for this line before they connect.
    QTextStream(stdout) << "ready" << Qt::endl;
    return app.exec();
}
