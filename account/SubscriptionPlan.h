#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// One plan of a "user/subscription-plans" answer, checked: a plan the page
// can't show honestly (no name, no price, no period) is left out, so a card
// never shows a price without saying what it buys.
struct SubscriptionPlan
{
    QString id;
    QString name;
    double price = 0;    // for the whole period
    QString currency;    // ISO 4217 code, "USD" when the answer gives none
    int months = 0;      // the period
    int devices = 0;     // 0 when the answer doesn't say
    QString badge;       // "Best value", may be empty
    QStringList features;

    static constexpr int kMaxPlans = 12;
    static constexpr int kMaxFeatures = 8;
    static constexpr double kMaxPrice = 100000;

    // The plans of an answer ({"success": true, "data": [...]}, or the plans
    // under "data"."plans"). *ok is false when the answer as a whole is not
    // one; the list is then empty.
    static QList<SubscriptionPlan> listFromAnswer(const QByteArray &answer, bool *ok);
};
