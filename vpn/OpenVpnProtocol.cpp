#include "vpn/OpenVpnProtocol.h"

#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QPointer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryFile>
#include <QThread>
#include <QTimer>

#include <cmath>

#include "app/Logger.h"
#include "app/Settings.h"
#include "ipc/IpcClient.h"
#include "ipc/LinkClock.h"
#include "vpn/TapController.h"

namespace {
Logger logger(QStringLiteral("OpenVpnProtocol"));

const char kManagementHost[] = "127.0.0.1";
constexpr int kOpenVpnProgram = 0;

// Byte counts are turned into rates against the previous count, shared by
// every OpenVPN tunnel of the process.
struct ByteCountBaseline
{
    qint64 atMs = 0;
    quint64 received = 0;
    quint64 sent = 0;
};

ByteCountBaseline &baseline()
{
    static ByteCountBaseline value;
    return value;
}

unsigned long &adapterWaitMs()
{
    static unsigned long value = 300;
    return value;
}

double rateOf(quint64 now, quint64 before, double seconds)
{
    const double bytes = double(now) - double(before);
    double rate = std::round(bytes / seconds / 1048576.0 * 100.0) / 10.0;
    rate = QString::number(rate, 'f', 2).toDouble();
    return rate >= 0 && rate < 10000 ? rate : 0;
}
} // namespace

OpenVpnProtocol::OpenVpnProtocol(const QJsonObject &configuration, QObject *parent)
    : VpnProtocol(configuration, parent),
      m_managementPort(pickManagementPort()),
      m_driverConfiguration(configuration),
      m_settings(new Settings(this))
{
    connect(this, &VpnProtocol::connectionStateChanged, this, [this](ConnectionState state) {
        if (state == Disconnected)
            dropLeakGuard();
    });
    connect(&m_managementServer, &ManagementServer::readyRead, this, &OpenVpnProtocol::onManagmenServerReadyRead);
    connect(this, &VpnProtocol::vpnError, this, [this] { setConnectionState(Disconnected); });
    connect(this, &VpnProtocol::connectionStateChanged, this, [this](ConnectionState state) {
        if (state == Connected)
            m_serviceWatch = true;
    });
    if (IpcClient *client = IpcClient::Instance()) {
        connect(client, &IpcClient::linkLost, this, [this] {
            if (!m_serviceWatch)
                return;
            m_serviceWatch = false;
            logger.warning() << "The service went away while connected";
            emit vpnError(ServiceLinkLost);
        });
    }
}

OpenVpnProtocol::~OpenVpnProtocol()
{
    logger.info() << "~OpenVpnProtocol";
    if (m_connectionState != Disconnecting && m_connectionState != Disconnected)
        stop();
    QThread::msleep(200);
}

#ifdef KELVRA_TESTING
void OpenVpnProtocol::setAdapterWaitForTesting(int ms)
{
    adapterWaitMs() = (unsigned long)qMax(0, ms);
}
#endif

int OpenVpnProtocol::pickManagementPort()
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const quint32 r = QRandomGenerator::global()->generate();
        const int port = int(double(r) * 49999.0 / 4294967295.0) + 15001;
        QTcpServer probe;
        if (probe.listen(QHostAddress(QLatin1String(kManagementHost)), quint16(port))) {
            probe.close();
            return port;
        }
    }
    return 0;
}

void OpenVpnProtocol::writeConfig(const QString &text)
{
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QStringList fields = line.trimmed().split(QLatin1Char(' '));
        // "remote" itself, not "remote-cert-tls" and its kin.
        if (fields.first() == QLatin1String("remote") && fields.size() > 1) {
            m_driverConfiguration.insert(QStringLiteral("hostName"), fields.at(1));
            break;
        }
    }

    delete m_configFile;
    m_configFile = new QTemporaryFile(this);
    if (!m_configFile->open()) {
        logger.error() << "QTemporaryFile open error" << m_configFile->errorString();
        m_configPath.clear();
        return;
    }
    m_configFile->write((text + QStringLiteral("\nverb 3\n")).toUtf8());
    m_configFile->close();
    m_configPath = m_configFile->fileName();
    logger.info() << "Writing OpenVPN config to" << m_configPath;
}

void OpenVpnProtocol::prepare()
{
    writeConfig(m_configuration.value(QLatin1String("openvpn_config_data")).toString());
    if (TapController::checkAndSetup())
        start();
    else
        emit vpnError(OpenVpnExecutableMissing);
}

void OpenVpnProtocol::start()
{
    if (m_connectionState == Connected || m_connectionState == Connecting || m_connectionState == Preparing)
        stop();

    if (!QFile::exists(TapController::executablePath())) {
        logger.error() << "OpenVpn's Executable's Missing";
        emit vpnError(OpenVpnExecutableMissing);
        setConnectionState(Disconnected);
        return;
    }
    if (!m_managementServer.start(QLatin1String(kManagementHost), quint16(m_managementPort))) {
        logger.error() << "Couldn't start openvpn managment server";
        setConnectionState(Disconnected);
        return;
    }

    setConnectionState(Connecting);
    m_process = IpcClient::acquirePrivilegedProcess();
    // Without a process nobody will connect back: the management port is closed again.
    if (!m_process || !m_process->isInitialized()) {
        logger.error() << "Kelvra service isn't running";
        m_managementServer.stop();
        emit vpnError(ServiceNotRunning);
        return;
    }
    m_process->waitForSource(5000);
    if (!m_process->isInitialized()) {
        logger.error() << "process isn't initialized";
        m_managementServer.stop();
        emit vpnError(ServiceNotRunning);
        return;
    }

    QStringList arguments { QStringLiteral("--config"), m_configPath, QStringLiteral("--management"),
                            QLatin1String(kManagementHost), QString::number(m_managementPort),
                            QStringLiteral("--management-client") };
    if (!m_settings->dnsLeakProtection())
        arguments << QStringLiteral("--kelvra-no-leak-guard");

    m_process->setProgram(kOpenVpnProgram);
    m_process->setArguments(arguments);
    connect(m_process.data(), &PrivilegedProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        logger.error() << "PrivilegedProcess errorOccurred" << int(error);
        if (error == QProcess::FailedToStart) {
            logger.error() << "The daemon did not start OpenVPN";
            setConnectionState(Disconnected);
            emit vpnError(ConnectionFailed);
        }
    });
    connect(m_process.data(), &PrivilegedProcess::stateChanged, this, [](QProcess::ProcessState state) {
        logger.info() << "PrivilegedProcess stateChanged" << int(state);
    });
    connect(m_process.data(), &PrivilegedProcess::finished, this, [this] { setConnectionState(Disconnected); });
    m_process->start();
}

void OpenVpnProtocol::stop()
{
    logger.info() << "OpenVpnProtocol::stop()";
    if (m_connectionState != Connected && m_connectionState != Connecting && m_connectionState != Reconnecting
        && m_connectionState != Preparing)
        return;
    m_serviceWatch = false;
    setConnectionState(Disconnecting);
    if (m_managementServer.writeCommand(QStringLiteral("signal SIGTERM")) == 0 && m_process) {
        m_process->close();
        waitForProcessFinished(1000);
    }
    QThread::msleep(10);
    m_managementServer.stop();
    if (const auto service = IpcClient::Interface(); service && service->isReplicaValid())
        service->disableKillSwitch();
    setConnectionState(Disconnected);
}

void OpenVpnProtocol::forceShutdown()
{
    dropLeakGuard();
    if (m_connectionState == Disconnected)
        return;
    logger.info() << "Force shutting down OpenVPN";
    setConnectionState(Disconnecting);
    if (m_process) {
        m_process->kill();
        waitForProcessFinished(3000);
        logger.info() << "Successfully shutdown openvpn";
    }
    m_managementServer.stop();
}

bool OpenVpnProtocol::waitForProcessFinished(int ms)
{
    if (!m_process || !m_process->isReplicaValid())
        return false;
    QEventLoop loop;
    bool finished = false;
    connect(m_process.data(), &PrivilegedProcess::finished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    return finished;
}

void OpenVpnProtocol::dropLeakGuard()
{
    if (!m_leakGuard)
        return;
    m_leakGuard = false;
    if (const auto service = IpcClient::Interface())
        service->disableKillSwitch();
}

void OpenVpnProtocol::onManagmenServerReadyRead()
{
    const QPointer<OpenVpnProtocol> self(this);
    while (self && m_managementServer.canReadLine()) {
        const QString line = m_managementServer.readLine().trimmed();
        if (line.isEmpty())
            continue;
        if (!handleManagementLine(line))
            return;
    }
}

bool OpenVpnProtocol::isStateHistoryLine(const QString &line)
{
    // "<time>,<state>,...": a replayed state has no ">STATE:" in front. A
    // replayed log line ("<time>,<flags>,<text>") never has a state's name
    // where its flags are.
    static const QRegularExpression pattern(
        QStringLiteral("^\\d+,(CONNECTING|WAIT|AUTH|GET_CONFIG|ASSIGN_IP|ADD_ROUTES|CONNECTED|RECONNECTING|EXITING|"
                       "RESOLVE|TCP_CONNECT|AUTH_PENDING),"));
    return pattern.match(line).hasMatch();
}

bool OpenVpnProtocol::handleManagementLine(const QString &line)
{
    if (!line.contains(QLatin1String(">BYTECOUNT")))
        logger.info() << line;

    if (line.contains(QLatin1String(">INFO:OpenVPN Management Interface"))) {
        // OpenVPN does not wait for these commands: on a fast link the tunnel
        // can be up before they arrive. "all" has it replay what it already
        // went through (states, the pushed addresses in its log) before the
        // live notifications, so nothing is missed.
        m_managementServer.writeCommand(QStringLiteral("state on all"));
        m_managementServer.writeCommand(QStringLiteral("log on all"));
        m_managementServer.writeCommand(QStringLiteral("bytecount 1"));
    } else if (line.startsWith(QLatin1String(">STATE")) || isStateHistoryLine(line)) {
        if (line.contains(QLatin1String("CONNECTED,SUCCESS"))) {
            logger.info() << "OpenVPN connected successfully";
            baseline() = ByteCountBaseline();
            m_connectedOnce = true;
            m_reconnectCount = 0;
            delete m_configFile;
            m_configFile = nullptr;
            setConnectionState(Connected);
        } else if (line.contains(QLatin1String("RECONNECTING"))) {
            ++m_reconnectCount;
            if (!m_connectedOnce) {
                logger.warning() << "OpenVPN reconnect loop, giving up:" << line;
                m_reconnectCount = 0;
                stop();
                emit vpnError(ConnectionFailed);
                return false;
            }
            setConnectionState(Reconnecting);
            if (m_reconnectCount == 1) {
                logger.warning() << "OpenVPN restarted without getting through:" << line;
                emit tunnelStalled();
            }
        } else if (line.contains(QLatin1String("EXITING")) || line.contains(QLatin1String("DISCONNECTED"))) {
            setConnectionState(Disconnected);
            m_managementServer.stop();
        }
    } else if (line.contains(QLatin1String(">BYTECOUNT:"))) {
        handleByteCount(line);
    } else if (line.contains(QLatin1String("PUSH: Received control message"))) {
        handlePushedAddresses(line);
    } else if (line.contains(QLatin1String("FATAL")) || line.contains(QLatin1String("ERROR"))) {
        if (line.contains(QLatin1String("There are no TAP-Windows"))) {
            emit vpnError(TapAdapterMissing);
        } else if (line.contains(QLatin1String("adapters on this system are currently in use or disabled"))) {
            stop();
            emit vpnError(AdaptersBusy);
        }
    } else if (line.contains(QLatin1String("SUCCESS: signal SIGTERM thrown"))) {
        setConnectionState(Disconnected);
    }
    return true;
}

void OpenVpnProtocol::handleByteCount(const QString &line)
{
    static const QRegularExpression pattern(QStringLiteral(">BYTECOUNT:(\\d+),(\\d+)"));
    const QRegularExpressionMatch match = pattern.match(line);
    if (!match.hasMatch())
        return;
    bool receivedOk = false;
    bool sentOk = false;
    const quint64 received = match.captured(1).toULongLong(&receivedOk);
    const quint64 sent = match.captured(2).toULongLong(&sentOk);
    if (!receivedOk || !sentOk)
        return; // Counts beyond 64 bits are no counts.

    ByteCountBaseline &last = baseline();
    const qint64 now = LinkClock::epochMs();
    const qint64 gap = now - last.atMs;
    if (last.atMs != 0 && gap <= 10000) {
        if (gap > 0) {
            const double seconds = double(gap) / 1000.0;
            emit bytesChanged(rateOf(received, last.received, seconds), rateOf(sent, last.sent, seconds));
        }
    }
    last.atMs = now;
    last.received = received;
    last.sent = sent;
}

void OpenVpnProtocol::handlePushedAddresses(const QString &line)
{
    // OpenVPN applies pushed options in order, so a later "ifconfig"
    // overrides an earlier one; only that one is looked for on the adapters
    // (each look waits for the adapter, and a line may carry any number).
    QStringList fields;
    const QStringList parts = line.split(QLatin1Char(','));
    for (const QString &part : parts) {
        const QString trimmed = part.trimmed();
        if (!trimmed.startsWith(QLatin1String("ifconfig ")))
            continue;
        const QStringList candidate = trimmed.split(QLatin1Char(' '));
        if (candidate.size() == 3)
            fields = candidate;
    }
    if (!fields.isEmpty()) {
        m_localAddress = fields.at(1);
        m_gateway = fields.at(2);
        // The adapter gets its address a moment after OpenVPN reports it.
        QThread::msleep(adapterWaitMs());

        const QHostAddress local(m_localAddress);
        if (local.isNull())
            return;
        const auto interfaces = QNetworkInterface::allInterfaces();
        for (const QNetworkInterface &adapter : interfaces) {
            for (const QNetworkAddressEntry &entry : adapter.addressEntries()) {
                if (entry.ip() != local)
                    continue;
                const int index = adapter.index();
                const auto service = IpcClient::Interface();
                const bool killSwitch = m_settings->killSwitch();
                if (killSwitch) {
                    if (service)
                        service->enableKillSwitch(index, QJsonObject());
                    const QString host = m_driverConfiguration.value(QLatin1String("hostName")).toString();
                    QString server;
                    if (!QHostAddress(host).isNull()) {
                        server = host;
                    } else if (!host.isEmpty()) {
                        const QList<QHostAddress> found = QHostInfo::fromName(host).addresses();
                        server = found.isEmpty() ? QString() : found.first().toString();
                    }
                    m_driverConfiguration.insert(QStringLiteral("vpnAdapterIndex"), index);
                    m_driverConfiguration.insert(QStringLiteral("vpnGateway"), m_gateway);
                    m_driverConfiguration.insert(QStringLiteral("vpnServer"), server);
                    if (service)
                        service->enablePeerTraffic(m_driverConfiguration);
                } else if (m_settings->dnsLeakProtection()) {
                    m_leakGuard = true;
                    if (service) {
                        service->enableKillSwitch(
                            index, QJsonObject { { QStringLiteral("ipv6Guard"), !line.contains(QLatin1String("ifconfig-ipv6 ")) },
                                                 { QStringLiteral("dnsGuard"), true } });
                    }
                }
            }
        }
    }
}
