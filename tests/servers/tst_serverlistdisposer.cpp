// The disposer frees what a new list leaves behind on its own thread, in the
// order it was handed over, and never lets anything outlive it.

#include <QMutex>
#include <QThread>
#include <QtTest>

#include <memory>
#include <vector>

#include "servers/ServerListDisposer.h"

namespace {

// Notes, as it goes, which thread freed it and in which place.
struct Witness {
    struct Log {
        QMutex mutex;
        std::vector<std::pair<int, QThread *>> freed;
    };
    std::shared_ptr<Log> log;
    int number = 0;
    int sleepMs = 0;

    Witness(std::shared_ptr<Log> log, int number, int sleepMs = 0)
        : log(std::move(log)), number(number), sleepMs(sleepMs)
    {
    }
    Witness(Witness &&other) noexcept
        : log(std::move(other.log)), number(other.number), sleepMs(other.sleepMs)
    {
    }
    ~Witness()
    {
        if (!log)
            return;
        if (sleepMs > 0)
            QThread::msleep(sleepMs);
        QMutexLocker lock(&log->mutex);
        log->freed.emplace_back(number, QThread::currentThread());
    }
};

} // namespace

class TestServerListDisposer : public QObject
{
    Q_OBJECT

private slots:
    void freesOffTheCallersThreadInOrder()
    {
        auto log = std::make_shared<Witness::Log>();
        ServerListDisposer disposer;
        for (int i = 0; i < 5; ++i)
            disposer.dispose(Witness(log, i, i == 0 ? 100 : 0));
        QVERIFY(disposer.waitForIdle(10000));
        QCOMPARE(log->freed.size(), size_t(5));
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(log->freed[size_t(i)].first, i);
            QVERIFY(log->freed[size_t(i)].second != QThread::currentThread());
        }
        QVERIFY(disposer.busyMs() >= 90);
    }

    void nothingOutlivesTheDisposer()
    {
        auto log = std::make_shared<Witness::Log>();
        {
            ServerListDisposer disposer;
            disposer.dispose(Witness(log, 1, 300));
            disposer.dispose(Witness(log, 2));
        }
        QCOMPARE(log->freed.size(), size_t(2));
    }
};

QTEST_GUILESS_MAIN(TestServerListDisposer)
#include "tst_serverlistdisposer.moc"
