#include "connection/SmartConnectMemory.h"

#include <QDateTime>
#include <QSettings>

namespace {
std::function<qint64()> &memoryClock()
{
    static std::function<qint64()> value = [] { return QDateTime::currentMSecsSinceEpoch(); };
    return value;
}

// A stored time counts while it is in the past and less than a day old.
bool fresh(qint64 storedMs)
{
    const qint64 age = memoryClock()() - storedMs;
    return storedMs > 0 && age >= 0 && age < SmartConnectMemory::kLifetimeMs;
}

QString key(const char *name, const QString &network)
{
    return QLatin1String("smartConnect/") + QLatin1String(name) + QLatin1Char('/') + network;
}
} // namespace

#ifdef KELVRA_TESTING
void SmartConnectMemory::setClockForTesting(std::function<qint64()> value)
{
    memoryClock() = value ? std::move(value) : [] { return QDateTime::currentMSecsSinceEpoch(); };
}
#endif

QString SmartConnectMemory::workedRoute(const QString &network)
{
    if (network.isEmpty())
        return QString();
    QSettings settings;
    if (!fresh(settings.value(key("workedAt", network)).toLongLong()))
        return QString();
    return settings.value(key("worked", network)).toString();
}

void SmartConnectMemory::rememberWorked(const QString &network, const QString &route)
{
    if (network.isEmpty())
        return;
    QSettings settings;
    settings.setValue(key("worked", network), route);
    settings.setValue(key("workedAt", network), memoryClock()());
    settings.sync();
}

QString SmartConnectMemory::restrictedServer(const QString &network)
{
    if (network.isEmpty())
        return QString();
    QSettings settings;
    if (!fresh(settings.value(key("restrictedSince", network)).toLongLong()))
        return QString();
    return settings.value(key("restricted", network)).toString();
}

void SmartConnectMemory::rememberRestricted(const QString &network, int apiId)
{
    if (network.isEmpty())
        return;
    QSettings settings;
    settings.setValue(key("restricted", network), QString::number(apiId));
    if (!fresh(settings.value(key("restrictedSince", network)).toLongLong()))
        settings.setValue(key("restrictedSince", network), memoryClock()());
    settings.sync();
}

void SmartConnectMemory::forgetRestricted(const QString &network)
{
    if (network.isEmpty())
        return;
    QSettings settings;
    settings.remove(key("restricted", network));
    settings.remove(key("restrictedSince", network));
    settings.sync();
}
