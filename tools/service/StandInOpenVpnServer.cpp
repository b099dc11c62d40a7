#include "tools/service/StandInOpenVpnServer.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QEventLoop>
#include <QTimer>

#include "tools/service/OpenVpnArguments.h"

#ifdef Q_OS_UNIX
#include <csignal>
#endif
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace {
Q_LOGGING_CATEGORY(lcServer, "standin.openvpnServer")

const char *const EcKey[] = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};

QStringList ecKeyArguments()
{
    QStringList arguments;
    for (const char *argument : EcKey)
        arguments.append(QString::fromLatin1(argument));
    return arguments;
}
} // namespace

StandInOpenVpnServer::StandInOpenVpnServer(QObject *parent)
    : QObject(parent)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    connect(&m_process, &QProcess::readyRead, this, [this] { m_log += m_process.readAll(); });
#ifdef Q_OS_LINUX
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
}

StandInOpenVpnServer::~StandInOpenVpnServer()
{
    stop();
}

bool StandInOpenVpnServer::tunAvailable()
{
    QFile tun(QStringLiteral("/dev/net/tun"));
    return tun.open(QIODevice::ReadWrite);
}

QString StandInOpenVpnServer::file(const QString &name) const
{
    return m_dir.filePath(name);
}

bool StandInOpenVpnServer::openssl(const QStringList &arguments)
{
    QProcess process;
    process.setWorkingDirectory(m_dir.path());
    process.start(QStringLiteral("openssl"), arguments);
    if (process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    m_error = QStringLiteral("openssl %1 failed: %2").arg(arguments.value(0), QString::fromLocal8Bit(process.readAllStandardError()));
    return false;
}

bool StandInOpenVpnServer::makeCertificates()
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return false;
    }
    if (!openssl(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ecKeyArguments()
                 + QStringList{QStringLiteral("-keyout"), QStringLiteral("ca.key"), QStringLiteral("-out"),
                               QStringLiteral("ca.pem"), QStringLiteral("-days"), QStringLiteral("30"),
                               QStringLiteral("-subj"), QStringLiteral("/CN=Kelvra stand-in OpenVPN CA")}))
        return false;
    // The client insists on "remote-cert-tls server": the usages must say so.
    for (const QString &role : {QStringLiteral("server"), QStringLiteral("client")}) {
        QFile extensions(file(role + QStringLiteral(".ext")));
        if (!extensions.open(QIODevice::WriteOnly))
            return false;
        extensions.write("basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage="
                         + QByteArray(role == QLatin1String("server") ? "serverAuth" : "clientAuth") + "\n");
        extensions.close();
        if (!openssl(QStringList{QStringLiteral("req")} + ecKeyArguments()
                     + QStringList{QStringLiteral("-keyout"), role + QStringLiteral(".key"), QStringLiteral("-out"),
                                   role + QStringLiteral(".csr"), QStringLiteral("-subj"),
                                   QStringLiteral("/CN=stand-in ") + role})
            || !openssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), role + QStringLiteral(".csr"),
                         QStringLiteral("-CA"), QStringLiteral("ca.pem"), QStringLiteral("-CAkey"), QStringLiteral("ca.key"),
                         QStringLiteral("-CAcreateserial"), QStringLiteral("-out"), role + QStringLiteral(".pem"),
                         QStringLiteral("-days"), QStringLiteral("30"), QStringLiteral("-extfile"),
                         role + QStringLiteral(".ext")}))
            return false;
    }
    return true;
}

bool StandInOpenVpnServer::start(const QHostAddress &address, quint16 port, quint8 subnetA, quint8 subnetB,
                                 const QString &openVpnPath)
{
    stop();
    m_error.clear();
    m_log.clear();
    if (!OpenVpnArguments::isMachineLocal(address)) {
        m_error = QStringLiteral("%1 is not an address of this machine").arg(address.toString());
        return false;
    }
    if (!QFileInfo::exists(file(QStringLiteral("server.pem"))) && !makeCertificates())
        return false;
    m_address = address;
    m_port = port;
    m_answering = true;
    const QStringList arguments{
        QStringLiteral("--dev"), QStringLiteral("tun"), QStringLiteral("--server"),
        QStringLiteral("10.%1.%2.0").arg(subnetA).arg(subnetB), QStringLiteral("255.255.255.0"),
        QStringLiteral("--topology"), QStringLiteral("subnet"), QStringLiteral("--local"), address.toString(),
        QStringLiteral("--port"), QString::number(port), QStringLiteral("--proto"),
        address.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("udp6") : QStringLiteral("udp"),
        QStringLiteral("--ca"), file(QStringLiteral("ca.pem")), QStringLiteral("--cert"), file(QStringLiteral("server.pem")),
        QStringLiteral("--key"), file(QStringLiteral("server.key")), QStringLiteral("--dh"), QStringLiteral("none"),
        QStringLiteral("--verb"), QStringLiteral("3")};
    m_process.start(openVpnPath, arguments);
    QEventLoop wait;
    connect(&m_process, &QProcess::readyRead, &wait, [this, &wait] {
        if (m_log.contains("Initialization Sequence Completed"))
            wait.quit();
    });
    connect(&m_process, &QProcess::finished, &wait, &QEventLoop::quit);
    connect(&m_process, &QProcess::errorOccurred, &wait, &QEventLoop::quit);
    QTimer::singleShot(15000, &wait, &QEventLoop::quit);
    if (m_process.waitForStarted(10000))
        wait.exec();
    if (!isRunning() || !m_log.contains("Initialization Sequence Completed")) {
        m_error = QStringLiteral("the OpenVPN server did not start: %1").arg(QString::fromLocal8Bit(m_log.right(400)));
        stop();
        return false;
    }
    qCInfo(lcServer) << "OpenVPN server at" << address.toString() << port;
    return true;
}

bool StandInOpenVpnServer::setAnswering(bool answering)
{
    if (!isRunning())
        return false;
    if (m_answering == answering)
        return true;
#ifdef Q_OS_UNIX
    if (::kill(pid_t(m_process.processId()), answering ? SIGCONT : SIGSTOP) != 0)
        return false;
    m_answering = answering;
    qCInfo(lcServer) << (answering ? "The OpenVPN server answers again" : "The OpenVPN server stops answering");
    return true;
#else
    return false;
#endif
}

void StandInOpenVpnServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    // A held process would not see its SIGTERM until it runs again.
    setAnswering(true);
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(1000);
    }
}

QString StandInOpenVpnServer::clientConfig() const
{
    const auto inline_ = [this](const char *tag, const QString &name) {
        QFile pem(file(name));
        if (!pem.open(QIODevice::ReadOnly))
            return QString();
        return QStringLiteral("<%1>\n%2</%1>\n").arg(QLatin1String(tag), QString::fromLatin1(pem.readAll()));
    };
    return QStringLiteral("client\ndev tun\nproto %1\nremote %2 %3\nnobind\nremote-cert-tls server\n")
               .arg(m_address.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("udp6") : QStringLiteral("udp"),
                    m_address.toString())
               .arg(m_port)
        + inline_("ca", QStringLiteral("ca.pem")) + inline_("cert", QStringLiteral("client.pem"))
        + inline_("key", QStringLiteral("client.key"));
}
