#include "account/SubscriptionPlan.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <cmath>

#include "api/AnswerText.h"

namespace {
constexpr int kMaxNameLength = 60;
constexpr int kMaxFeatureLength = 120;
constexpr int kMaxMonths = 120;

double number(const QJsonValue &value, bool *ok)
{
    *ok = true;
    if (value.isDouble())
        return value.toDouble();
    // Prices also come as decimal text ("41.94").
    static const QRegularExpression decimal(QStringLiteral("^[0-9]{1,9}(\\.[0-9]{1,4})?$"));
    if (value.isString() && decimal.match(value.toString()).hasMatch())
        return value.toString().toDouble();
    *ok = false;
    return 0;
}
} // namespace

QList<SubscriptionPlan> SubscriptionPlan::listFromAnswer(const QByteArray &answer, bool *ok)
{
    *ok = false;
    QJsonValue data = AnswerText::successObject(answer).value(QLatin1String("data"));
    if (data.isObject())
        data = data.toObject().value(QLatin1String("plans"));
    if (!data.isArray())
        return {};
    *ok = true;
    QList<SubscriptionPlan> plans;
    QSet<QString> seen;
    for (const QJsonValue &value : data.toArray()) {
        if (plans.size() >= kMaxPlans)
            break;
        const QJsonObject object = value.toObject();
        SubscriptionPlan plan;
        plan.id = AnswerText::id(object.value(QLatin1String("id")), 64);
        plan.name = AnswerText::text(object.value(QLatin1String("name")), kMaxNameLength);
        bool priced = false;
        plan.price = number(object.value(QLatin1String("price")), &priced);
        bool timed = false;
        const double months = number(object.value(QLatin1String("months")), &timed);
        if (plan.id.isEmpty() || seen.contains(plan.id) || plan.name.isEmpty() || !priced || !std::isfinite(plan.price)
            || plan.price < 0 || plan.price > kMaxPrice || !timed || months < 1 || months > kMaxMonths
            || months != std::floor(months))
            continue;
        plan.months = int(months);
        const QString currency = object.value(QLatin1String("currency")).toString().toUpper();
        static const QRegularExpression code(QStringLiteral("^[A-Z]{3}$"));
        plan.currency = code.match(currency).hasMatch() ? currency : QStringLiteral("USD");
        const double devices = object.value(QLatin1String("devices")).toDouble();
        plan.devices = devices >= 1 && devices <= 1000 ? int(devices) : 0;
        plan.badge = AnswerText::text(object.value(QLatin1String("badge")), 30);
        for (const QJsonValue &feature : object.value(QLatin1String("features")).toArray()) {
            const QString text = AnswerText::text(feature, kMaxFeatureLength);
            if (!text.isEmpty() && plan.features.size() < kMaxFeatures)
                plan.features.append(text);
        }
        seen.insert(plan.id);
        plans.append(plan);
    }
    return plans;
}
