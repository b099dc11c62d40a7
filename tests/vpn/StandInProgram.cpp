#include "StandInProgram.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>

#include "support/TestEnvironment.h"
#include "tools/service/StandInControl.h"

StandInProgram::StandInProgram()
    : m_control(QStringLiteral("kelvra-standin-control-%1").arg(QCoreApplication::applicationPid()))
{
}

bool StandInProgram::pointClientHere(const char *prefix, const QString &dir)
{
    const QString standIn = TestEnvironment::binDir() + QStringLiteral("/kelvra-service-standin");
    if (!QFileInfo::exists(standIn))
        return false;
    qputenv("KELVRA_TEST_IPC_NAME", QByteArray(prefix) + QByteArray::number(QCoreApplication::applicationPid()));
    qputenv("KELVRA_TEST_DAEMON_SOCKET", (dir + QStringLiteral("/daemon.socket")).toUtf8());
    qputenv("KELVRA_TEST_SERVICE_BINARY", QFileInfo(standIn).canonicalFilePath().toUtf8());
    return true;
}

QStringList StandInProgram::openVpnServerArguments(const QString &configFile, int portBase)
{
    const QString server = QStringLiteral("203.0.113.12:%1").arg(portBase + QCoreApplication::applicationPid() % 10000);
    return { QStringLiteral("--openvpn-server"), server, QStringLiteral("--openvpn-client-config"), configFile };
}

StandInProgram::~StandInProgram()
{
    stop();
}

bool StandInProgram::start(const QString &program, const QStringList &arguments)
{
    stop();
    m_process.setProgram(TestEnvironment::binDir() + QLatin1Char('/') + program);
    m_process.setArguments(QStringList { QStringLiteral("--control"), m_control } + arguments);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start();
    if (!m_process.waitForStarted(20000))
        return false;
    QByteArray out;
    QDeadlineTimer deadline(30000);
    while (!out.contains("ready\n") && !deadline.hasExpired()) {
        if (!m_process.waitForReadyRead(int(deadline.remainingTime())))
            break;
        out += m_process.readAllStandardOutput();
    }
    return out.contains("ready\n");
}

void StandInProgram::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QJsonObject StandInProgram::control(const char *cmd, const QJsonObject &keys)
{
    QJsonObject command = keys;
    command.insert(QStringLiteral("cmd"), QLatin1String(cmd));
    return StandInControl::request(m_control, command);
}

QJsonArray StandInProgram::calls(const QString &channel, const QString &call)
{
    return control("calls", { { QStringLiteral("channel"), channel }, { QStringLiteral("call"), call } })
        .value(QLatin1String("calls"))
        .toArray();
}
