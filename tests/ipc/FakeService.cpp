#include "FakeService.h"

#include <QLocalServer>

FakeIpcService::FakeIpcService(const QString &url, QObject *parent) : IpcInterfaceSource(parent), m_url(url) { }

FakeIpcService::~FakeIpcService()
{
    stopHost();
    qDeleteAll(m_processHosts);
    qDeleteAll(processes);
}

void FakeIpcService::startHost()
{
    QLocalServer::removeServer(m_url.mid(6));
    m_host.reset(new QRemoteObjectHost(QUrl(m_url)));
    m_host->enableRemoting(this, QStringLiteral("IpcInterface"));
}

void FakeIpcService::stopHost()
{
    if (m_host)
        m_host->disableRemoting(this);
    m_host.reset();
}

int FakeIpcService::createPrivilegedProcess()
{
    const int number = m_nextProcess++;
    auto *process = new FakeProcess;
    process->openVpn = openVpn;
    processes.insert(number, process);
    const QString url = QStringLiteral("%1_%2").arg(m_url).arg(number);
    QLocalServer::removeServer(url.mid(6));
    auto *host = new QRemoteObjectHost(QUrl(url));
    host->enableRemoting(process, QStringLiteral("IpcProcessInterface"));
    m_processHosts << host;
    return number;
}

void FakeProcess::start()
{
    calls << QStringLiteral("start");
    if (program != 0 || openVpn.isEmpty()) {
        emit started();
        return;
    }
    m_real = new QProcess(this);
    QStringList args = arguments;
    args.removeAll(QStringLiteral("--kelvra-no-leak-guard"));
    m_real->setProcessChannelMode(QProcess::MergedChannels);
    connect(m_real, &QProcess::started, this, &FakeProcess::started);
    connect(m_real, &QProcess::stateChanged, this, &FakeProcess::stateChanged);
    connect(m_real, &QProcess::errorOccurred, this, &FakeProcess::errorOccurred);
    connect(m_real, &QProcess::finished, this, &FakeProcess::finished);
    m_real->start(openVpn, args);
}

void FakeProcess::close()
{
    calls << QStringLiteral("close");
    if (m_real)
        m_real->terminate();
}

void FakeProcess::kill()
{
    calls << QStringLiteral("kill");
    if (m_real)
        m_real->kill();
}

FakeProcess::~FakeProcess()
{
    if (m_real && m_real->state() != QProcess::NotRunning) {
        m_real->kill();
        m_real->waitForFinished(3000);
    }
}
