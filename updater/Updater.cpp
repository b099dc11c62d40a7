#include "updater/Updater.h"

#include <QSettings>

#include "app/Logger.h"

namespace {
Logger logger(QStringLiteral("Updater"));

const QString kReconnectKey = QStringLiteral("updater/reconnectAfterUpdate");
const QString kLastRunVersionKey = QStringLiteral("updater/lastRunVersion");
} // namespace

Updater::Updater(QObject *parent) : QObject(parent) {}

QString Updater::justUpdatedTo()
{
    const QString version = QStringLiteral(KELVRA_VERSION);
    QSettings settings;
    const QString last = settings.value(kLastRunVersionKey).toString();
    if (last == version)
        return {};
    settings.setValue(kLastRunVersionKey, version);
    settings.sync();
    return last.isEmpty() ? QString() : version;
}

void Updater::setReconnectAfterUpdate(bool reconnect)
{
    QSettings settings;
    settings.setValue(kReconnectKey, reconnect);
    settings.sync();
}

bool Updater::takeReconnectAfterUpdate()
{
    QSettings settings;
    const bool reconnect = settings.value(kReconnectKey).toBool();
    settings.remove(kReconnectKey);
    settings.sync();
    return reconnect;
}

void Updater::start(QString installerUrl, QString sha256, QString updateType)
{
    Q_UNUSED(installerUrl)
    Q_UNUSED(sha256)
    logger.warning() << "Update download asked for (" << updateType << ") - the in-app download is not built yet";
    emit failed(tr("Updating from inside the app isn't available yet. Download the new version from the website."));
}

void Updater::cancel()
{
    logger.debug() << "Update cancel: nothing is downloading";
}
