#include "account/PremiumModel.h"

#include <QLocale>
#include <cmath>

#include "account/TokenManager.h"
#include "account/UserManager.h"
#include "api/ApiHost.h"
#include "api/NetworkManager.h"
#include "app/Logger.h"

namespace {
Logger logger(QStringLiteral("PremiumModel"));
} // namespace

PremiumModel::PremiumModel(QObject *parent) : QAbstractListModel(parent), m_request(new NetworkManager(this))
{
    connect(m_request, &NetworkManager::requestFinished, this, &PremiumModel::parseResponse);
    connect(m_request, &NetworkManager::requestFailed, this, &PremiumModel::onErrorOccurred);
}

int PremiumModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_plans.size());
}

QHash<int, QByteArray> PremiumModel::roleNames() const
{
    return {{PlanIdRole, "planId"},         {NameRole, "name"},   {PriceTextRole, "priceText"},
            {PeriodTextRole, "periodText"}, {PerMonthTextRole, "perMonthText"},
            {DevicesRole, "devices"},       {BadgeRole, "badge"}, {FeaturesRole, "features"}};
}

QVariant PremiumModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_plans.size())
        return {};
    const SubscriptionPlan &plan = m_plans.at(index.row());
    switch (role) {
    case PlanIdRole:
        return plan.id;
    case Qt::DisplayRole:
    case NameRole:
        return plan.name;
    case PriceTextRole:
        return formatPrice(plan.price, plan.currency);
    case PeriodTextRole:
        return periodText(plan.months);
    case PerMonthTextRole:
        return plan.months > 1 ? tr("%1 a month").arg(formatPrice(plan.price / plan.months, plan.currency)) : QString();
    case DevicesRole:
        return plan.devices;
    case BadgeRole:
        return plan.badge;
    case FeaturesRole:
        return plan.features;
    default:
        return {};
    }
}

QString PremiumModel::formatPrice(double amount, const QString &currency)
{
    static const QHash<QString, QString> symbols{{QStringLiteral("USD"), QStringLiteral("$")},
                                                 {QStringLiteral("EUR"), QStringLiteral("\u20ac")},
                                                 {QStringLiteral("GBP"), QStringLiteral("\u00a3")}};
    // Cents are cut the way shops show them: 4.99, not 4.9866.
    const QString number = QLocale::c().toString(std::floor(amount * 100 + 0.5) / 100, 'f', 2);
    const auto symbol = symbols.constFind(currency);
    return symbol != symbols.constEnd() ? *symbol + number : number + QLatin1Char(' ') + currency;
}

QString PremiumModel::periodText(int months)
{
    if (months == 1)
        return tr("per month");
    if (months == 12)
        return tr("per year");
    if (months % 12 == 0)
        return tr("every %1 years").arg(months / 12);
    return tr("every %1 months").arg(months);
}

void PremiumModel::fetchPlans()
{
    if (m_loading)
        return;
    setLoading(true);
    m_request->request(ApiHost::url(QStringLiteral("user/subscription-plans")), QJsonObject(), NetworkManager::POST,
                       TokenManager::instance()->getToken(), 0, true);
}

void PremiumModel::parseResponse(QByteArray data, int statusCode)
{
    setLoading(false);
    bool ok = false;
    const QList<SubscriptionPlan> plans =
        statusCode >= 200 && statusCode <= 299 ? SubscriptionPlan::listFromAnswer(data, &ok) : QList<SubscriptionPlan>();
    if (!ok || plans.isEmpty()) {
        logger.warning() << "Plans not shown: HTTP" << statusCode << (ok ? "with no plan" : "with an answer not understood");
        setErrorText(tr("Plans couldn't be loaded right now. You can still see them on the website."));
        return;
    }
    setErrorText(QString());
    beginResetModel();
    m_plans = plans;
    endResetModel();
    emit countChanged();
}

void PremiumModel::onErrorOccurred()
{
    setLoading(false);
    setErrorText(tr("No connection to Kelvra. Check your internet connection and try again."));
}

void PremiumModel::openPricing()
{
    UserManager::instance()->openDashboard(QStringLiteral("/pricing"));
}

void PremiumModel::choosePlan(const QString &planId)
{
    for (const SubscriptionPlan &plan : std::as_const(m_plans)) {
        if (plan.id == planId) {
            UserManager::instance()->openDashboard(QStringLiteral("/checkout?plan=") + plan.id);
            return;
        }
    }
    logger.warning() << "No such plan to choose";
}

void PremiumModel::setLoading(bool loading)
{
    if (m_loading == loading)
        return;
    m_loading = loading;
    emit loadingChanged();
}

void PremiumModel::setErrorText(const QString &text)
{
    if (m_errorText == text)
        return;
    m_errorText = text;
    emit errorTextChanged();
}
