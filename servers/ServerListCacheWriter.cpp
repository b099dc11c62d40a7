#include "servers/ServerListCacheWriter.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <QWaitCondition>

#include "app/Logger.h"
#include "servers/AppDataFile.h"
#include "servers/ServerListCache.h"

namespace {

Logger logger(QStringLiteral("ServersModel"));

} // namespace

struct ServerListCacheWriter::State {
    struct Job {
        QString path;
        QString account;
        QByteArray body;
    };

    mutable QMutex mutex;
    QWaitCondition wake;
    QWaitCondition idle;
    std::unique_ptr<Job> pending;
    bool busy = false;
    bool stopping = false;
    int writesDone = 0;
    double lastWriteMs = 0;

    void run()
    {
        QMutexLocker lock(&mutex);
        for (;;) {
            while (!pending && !stopping)
                wake.wait(&mutex);
            if (!pending)
                return;
            const std::unique_ptr<Job> job = std::move(pending);
            busy = true;
            lock.unlock();

            QElapsedTimer timer;
            timer.start();
            const bool written = AppDataFile::writePath(job->path, ServerListCache::encode(job->account, job->body));
            const double ms = double(timer.nsecsElapsed()) / 1e6;

            lock.relock();
            busy = false;
            if (written) {
                ++writesDone;
                lastWriteMs = ms;
            }
            if (!pending)
                idle.wakeAll();
        }
    }
};

ServerListCacheWriter::ServerListCacheWriter(const QString &fileName)
    : m_fileName(fileName), m_state(std::make_shared<State>())
{
}

ServerListCacheWriter::~ServerListCacheWriter()
{
    if (!m_thread)
        return;
    {
        QMutexLocker lock(&m_state->mutex);
        m_state->stopping = true;
        m_state->wake.wakeAll();
    }
    if (!m_thread->wait(QDeadlineTimer(kFinishTimeoutMs))) {
        // The thread holds its own share of the state and ends with the write.
        logger.warning() << "The server list is still being saved: not waiting for the disk any longer";
        QThread *thread = m_thread.release();
        QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    }
}

void ServerListCacheWriter::write(const QString &account, const QByteArray &body)
{
    // The path is found here: the folder depends on the application's names,
    // which belong to the GUI thread.
    auto job = std::make_unique<State::Job>(State::Job{AppDataFile::path(m_fileName), account, body});
    QMutexLocker lock(&m_state->mutex);
    m_state->pending = std::move(job);
    if (!m_thread) {
        std::shared_ptr<State> state = m_state;
        m_thread.reset(QThread::create([state] { state->run(); }));
        m_thread->setObjectName(QStringLiteral("ServerListCacheWriter"));
        m_thread->start(QThread::LowPriority);
    }
    m_state->wake.wakeAll();
}

bool ServerListCacheWriter::waitForIdle(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QMutexLocker lock(&m_state->mutex);
    while (m_state->pending || m_state->busy) {
        if (!m_state->idle.wait(&m_state->mutex, deadline))
            return false;
    }
    return true;
}

int ServerListCacheWriter::writesDone() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->writesDone;
}

double ServerListCacheWriter::lastWriteMs() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->lastWriteMs;
}
