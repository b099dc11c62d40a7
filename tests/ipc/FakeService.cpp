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
    processes.insert(number, process);
    const QString url = QStringLiteral("%1_%2").arg(m_url).arg(number);
    QLocalServer::removeServer(url.mid(6));
    auto *host = new QRemoteObjectHost(QUrl(url));
    host->enableRemoting(process, QStringLiteral("IpcProcessInterface"));
    m_processHosts << host;
    return number;
}
