#include "ipc/LinkClock.h"

#include <QDateTime>
#include <QElapsedTimer>

namespace {
qint64 &offset()
{
    static qint64 value = 0;
    return value;
}

const QElapsedTimer &monotonic()
{
    static const QElapsedTimer timer = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return timer;
}
} // namespace

qint64 LinkClock::monotonicMs()
{
    // Offset so that 0 is never a real reading: callers use negative values
    // for "not started".
    return monotonic().elapsed() + 1000000 + offset();
}

qint64 LinkClock::epochMs()
{
    return QDateTime::currentMSecsSinceEpoch() + offset();
}

#ifdef KELVRA_TESTING
void LinkClock::advanceForTesting(qint64 ms)
{
    offset() += ms;
}
#endif
