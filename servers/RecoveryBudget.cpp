#include "servers/RecoveryBudget.h"

#include <QVariantList>

#include "app/Settings.h"

namespace {

const QString kAsked = QStringLiteral("deadTunnel/recoverAsked");
const QString kAnswered = QStringLiteral("deadTunnel/recoverAnswered");

// Older clients and hand edits may leave anything under these keys: only
// numbers (or numeric text) count as times.
QList<qint64> readTimes(const Settings &settings, const QString &key)
{
    QList<qint64> times;
    const QVariant value = settings.value(key);
    const QVariantList items = value.typeId() == QMetaType::QStringList || value.typeId() == QMetaType::QVariantList
                                   ? value.toList()
                                   : (value.isValid() ? QVariantList{value} : QVariantList{});
    for (const QVariant &item : items) {
        bool ok = false;
        const qint64 time = item.toLongLong(&ok);
        if (ok)
            times << time;
    }
    return times;
}

void writeTimes(Settings &settings, const QString &key, const QList<qint64> &times)
{
    QVariantList items;
    items.reserve(times.size());
    for (qint64 time : times)
        items << QVariant::fromValue(time);
    settings.setValue(key, items);
}

QList<qint64> withinLastHour(const QList<qint64> &times, qint64 nowMs)
{
    QList<qint64> kept;
    for (qint64 time : times) {
        if (nowMs - time < RecoveryBudget::kWindowMs)
            kept << time;
    }
    return kept;
}

} // namespace

int RecoveryBudget::perHourLimit()
{
#ifdef KELVRA_STAGING
    bool ok = false;
    const int fromEnv = qEnvironmentVariable("KELVRA_RECOVER_PER_HOUR").trimmed().toInt(&ok);
    if (ok && fromEnv > kDefaultPerHour)
        return qMin(fromEnv, kMaxPerHour);
#endif
    return kDefaultPerHour;
}

bool RecoveryBudget::tryAsk(Settings &settings, qint64 nowMs, int perHour)
{
    QList<qint64> asks = withinLastHour(readTimes(settings, kAsked), nowMs);
    const QList<qint64> answers = withinLastHour(readTimes(settings, kAnswered), nowMs);
    const bool may = asks.size() < qMax(perHour, kMinAsks) && answers.size() < perHour;
    if (may)
        asks << nowMs;
    writeTimes(settings, kAsked, asks);
    writeTimes(settings, kAnswered, answers);
    return may;
}

void RecoveryBudget::noteAnswered(Settings &settings, qint64 nowMs)
{
    QList<qint64> answers;
    for (qint64 time : readTimes(settings, kAnswered)) {
        if (time <= nowMs)
            answers << time;
    }
    answers << nowMs;
    writeTimes(settings, kAnswered, answers);
}

QList<qint64> RecoveryBudget::asked(const Settings &settings)
{
    return readTimes(settings, kAsked);
}

QList<qint64> RecoveryBudget::answered(const Settings &settings)
{
    return readTimes(settings, kAnswered);
}
