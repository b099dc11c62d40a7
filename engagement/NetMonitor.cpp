#include "engagement/NetMonitor.h"

#include "app/Logger.h"

namespace {
Logger logger(QStringLiteral("NetMonitor"));
} // namespace

NetMonitor::NetMonitor(QObject *parent) : QObject(parent)
{
    logger.debug() << "The network monitor is not built yet: online changes are not reported";
}
