#include "settings/SettingsController.h"

#include "app/Logger.h"
#include "app/Settings.h"

namespace {
Logger logger(QStringLiteral("SettingsController"));
} // namespace

SettingsController::SettingsController(QSharedPointer<Settings> settings, QObject *parent)
    : QObject(parent), m_settings(std::move(settings))
{
    logger.debug() << "The settings pages' controller is not built yet: no toggles are offered";
}
