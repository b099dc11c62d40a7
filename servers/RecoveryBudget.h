#pragma once

#include <QList>
#include <QtGlobal>

class Settings;

// How often the client may ask the API to recover a server-side peer. The asks
// and the answers of the last hour are kept in the settings store, so the budget
// holds across restarts.
class RecoveryBudget
{
public:
    static constexpr qint64 kWindowMs = 3600000;
    static constexpr int kDefaultPerHour = 3;
    static constexpr int kMaxPerHour = 100;
    static constexpr int kMinAsks = 10;

    // N: 3, or in a staging build "KELVRA_RECOVER_PER_HOUR" when it is above 3 (at most 100).
    static int perHourLimit();

    // Whether a request may ask for recovery now; when it may, the ask is recorded.
    static bool tryAsk(Settings &settings, qint64 nowMs, int perHour);
    // Records that the API answered a request that asked.
    static void noteAnswered(Settings &settings, qint64 nowMs);

    static QList<qint64> asked(const Settings &settings);
    static QList<qint64> answered(const Settings &settings);
};
