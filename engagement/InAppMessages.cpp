#include "engagement/InAppMessages.h"

#include "app/Logger.h"

namespace {
Logger logger(QStringLiteral("InAppMessages"));
} // namespace

InAppMessages::InAppMessages(QObject *parent) : QObject(parent)
{
    logger.debug() << "In-app messages are not built yet: nothing is fetched";
}
