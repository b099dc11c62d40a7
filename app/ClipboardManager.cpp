#include "app/ClipboardManager.h"

#include "app/Logger.h"

namespace {
Logger logger(QStringLiteral("ClipboardManager"));
} // namespace

ClipboardManager::ClipboardManager(QObject *parent) : QObject(parent)
{
    logger.debug() << "Clipboard access for the pages is not built yet";
}
