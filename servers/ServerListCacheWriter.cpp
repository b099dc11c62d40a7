#include "servers/ServerListCacheWriter.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QThread>

#include "servers/AppDataFile.h"
#include "servers/ServerListCache.h"

ServerListCacheWriter::ServerListCacheWriter(const QString &fileName)
    : m_fileName(fileName)
{
}

ServerListCacheWriter::~ServerListCacheWriter()
{
    if (!m_thread)
        return;
    {
        QMutexLocker lock(&m_mutex);
        m_stopping = true;
        m_wake.wakeAll();
    }
    m_thread->wait();
}

void ServerListCacheWriter::write(const QString &account, const QByteArray &body)
{
    // The path is found here: the folder depends on the application's names,
    // which belong to the GUI thread.
    auto job = std::make_unique<Job>(Job{AppDataFile::path(m_fileName), account, body});
    QMutexLocker lock(&m_mutex);
    m_pending = std::move(job);
    if (!m_thread) {
        m_thread.reset(QThread::create([this] { run(); }));
        m_thread->setObjectName(QStringLiteral("ServerListCacheWriter"));
        m_thread->start(QThread::LowPriority);
    }
    m_wake.wakeAll();
}

bool ServerListCacheWriter::waitForIdle(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QMutexLocker lock(&m_mutex);
    while (m_pending || m_busy) {
        if (!m_idle.wait(&m_mutex, deadline))
            return false;
    }
    return true;
}

int ServerListCacheWriter::writesDone() const
{
    QMutexLocker lock(&m_mutex);
    return m_writesDone;
}

double ServerListCacheWriter::lastWriteMs() const
{
    QMutexLocker lock(&m_mutex);
    return m_lastWriteMs;
}

void ServerListCacheWriter::run()
{
    QMutexLocker lock(&m_mutex);
    for (;;) {
        while (!m_pending && !m_stopping)
            m_wake.wait(&m_mutex);
        if (!m_pending)
            return;
        const std::unique_ptr<Job> job = std::move(m_pending);
        m_busy = true;
        lock.unlock();

        QElapsedTimer timer;
        timer.start();
        const bool written = AppDataFile::writePath(job->path, ServerListCache::encode(job->account, job->body));
        const double ms = double(timer.nsecsElapsed()) / 1e6;

        lock.relock();
        m_busy = false;
        if (written) {
            ++m_writesDone;
            m_lastWriteMs = ms;
        }
        if (!m_pending)
            m_idle.wakeAll();
    }
}
