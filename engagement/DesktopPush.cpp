#include "engagement/DesktopPush.h"

#include "app/Logger.h"

namespace {
Logger logger(QStringLiteral("DesktopPush"));
} // namespace

DesktopPush::DesktopPush(QObject *parent) : QObject(parent)
{
    logger.debug() << "Desktop notifications are not built yet: nothing is fetched";
}
