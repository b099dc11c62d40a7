#pragma once

#include <QMutex>
#include <QThreadPool>

#include <memory>
#include <utility>

// Frees what a new server list leaves behind (the parsed answer, the tree it
// replaced, the old pings map) on a thread of its own. At 50,000 servers that
// is tens of milliseconds of returning memory, which a user would otherwise
// spend looking at a window that does not answer. Whatever is handed over
// must no longer be reachable from the GUI thread; the values handed over
// only hold plain data and implicitly shared Qt values, whose counts are
// atomic.
class ServerListDisposer
{
public:
    ServerListDisposer();
    // Waits for what is being freed: freeing never blocks.
    ~ServerListDisposer();

    ServerListDisposer(const ServerListDisposer &) = delete;
    ServerListDisposer &operator=(const ServerListDisposer &) = delete;

    template<typename T> void dispose(T &&value)
    {
        post(std::make_shared<std::decay_t<T>>(std::forward<T>(value)));
    }

    // Blocks until everything handed over is freed. True when that came
    // within `timeoutMs`.
    bool waitForIdle(int timeoutMs = 30000);
    // How long the thread has spent freeing, in all, in milliseconds.
    double busyMs() const;

private:
    void post(std::shared_ptr<void> value);

    QThreadPool m_pool;
    mutable QMutex m_mutex;
    double m_busyMs = 0;
};
