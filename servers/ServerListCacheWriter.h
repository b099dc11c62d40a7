#pragma once

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QWaitCondition>

#include <memory>

class QThread;

// Saves the server list off the GUI thread. Escaping megabytes of answer and
// syncing them to disk is not something a user should wait for; the writer's
// own thread does it. Only the newest list matters: a write still pending when
// a newer one comes is dropped, and the file is written aside and renamed, so
// it is always either the old list or the new one, never a torn one.
class ServerListCacheWriter
{
public:
    // Writes to `fileName` in the application data folder.
    explicit ServerListCacheWriter(const QString &fileName);
    // Finishes the write under way and the pending one: the newest list is kept.
    ~ServerListCacheWriter();

    ServerListCacheWriter(const ServerListCacheWriter &) = delete;
    ServerListCacheWriter &operator=(const ServerListCacheWriter &) = delete;

    // Returns at once; the write happens on the writer's thread.
    void write(const QString &account, const QByteArray &body);
    // Blocks until nothing is pending or being written. True when that came
    // within `timeoutMs`.
    bool waitForIdle(int timeoutMs = 30000);

    // How many writes reached the disk, and how long the last one took
    // (encoding, writing and syncing), in milliseconds.
    int writesDone() const;
    double lastWriteMs() const;

private:
    struct Job {
        QString path;
        QString account;
        QByteArray body;
    };

    void run();

    const QString m_fileName;
    mutable QMutex m_mutex;
    QWaitCondition m_wake;
    QWaitCondition m_idle;
    std::unique_ptr<Job> m_pending;
    bool m_busy = false;
    bool m_stopping = false;
    int m_writesDone = 0;
    double m_lastWriteMs = 0;
    std::unique_ptr<QThread> m_thread;
};
