#pragma once

#include <QByteArray>
#include <QString>

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
    static constexpr int kFinishTimeoutMs = 10000;

    // Writes to `fileName` in the application data folder.
    explicit ServerListCacheWriter(const QString &fileName);
    // Finishes the write under way and the pending one, so the newest list is
    // kept; a disk that takes longer than kFinishTimeoutMs is left to finish
    // on its own.
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
    // Shared with the thread, which may outlive the writer on a stuck disk.
    struct State;

    const QString m_fileName;
    std::shared_ptr<State> m_state;
    std::unique_ptr<QThread> m_thread;
};
