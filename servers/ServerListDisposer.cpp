#include "servers/ServerListDisposer.h"

#include <QElapsedTimer>
#include <QMutexLocker>

ServerListDisposer::ServerListDisposer()
{
    // One thread: hand-overs are freed in order, and never compete with each
    // other for the cores the GUI thread needs.
    m_pool.setMaxThreadCount(1);
}

ServerListDisposer::~ServerListDisposer()
{
    m_pool.waitForDone();
}

void ServerListDisposer::post(std::shared_ptr<void> value)
{
    m_pool.start([this, value = std::move(value)]() mutable {
        QElapsedTimer timer;
        timer.start();
        value.reset();
        const double ms = double(timer.nsecsElapsed()) / 1e6;
        QMutexLocker lock(&m_mutex);
        m_busyMs += ms;
    });
}

bool ServerListDisposer::waitForIdle(int timeoutMs)
{
    return m_pool.waitForDone(timeoutMs);
}

double ServerListDisposer::busyMs() const
{
    QMutexLocker lock(&m_mutex);
    return m_busyMs;
}
