#pragma once

#include <QtGlobal>

// The clocks the service link and the drivers judge time by: a monotonic one
// for health verdicts and de-duplication, the wall clock for throughput
// samples. Test builds can move both forward, so verdicts that take minutes of
// silence are checked without waiting for them.
namespace LinkClock {

qint64 monotonicMs();
qint64 epochMs();

#ifdef KELVRA_TESTING
void advanceForTesting(qint64 ms);
#endif

} // namespace LinkClock
