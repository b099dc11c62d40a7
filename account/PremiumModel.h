#pragma once

#include <QAbstractListModel>
#include <QByteArray>
#include <QList>
#include <QString>

#include "account/SubscriptionPlan.h"

class NetworkManager;

// The subscription plans the plans page shows as cards, from
// "user/subscription-plans": price, period, price per month and what each
// includes. Buying happens on the account web site: the buttons open its
// pricing and payment pages in the browser, signed in, through the user
// manager. An answer that is not understood keeps the plans shown before and
// says so in `errorText`.
class PremiumModel : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)
    Q_PROPERTY(bool loading READ loading NOTIFY loadingChanged)
    // Empty, or why the plans could not be shown.
    Q_PROPERTY(QString errorText READ errorText NOTIFY errorTextChanged)
public:
    enum Roles {
        PlanIdRole = Qt::UserRole + 1,
        NameRole,
        PriceTextRole,     // "$59.88"
        PeriodTextRole,    // "per year", "every 6 months"
        PerMonthTextRole,  // "$4.99 a month", empty for a monthly plan
        DevicesRole,
        BadgeRole,
        FeaturesRole,
    };

    explicit PremiumModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    int count() const { return int(m_plans.size()); }
    bool loading() const { return m_loading; }
    QString errorText() const { return m_errorText; }

    Q_INVOKABLE void fetchPlans();
    // The web site's pricing page, and its payment page for one plan.
    Q_INVOKABLE void openPricing();
    Q_INVOKABLE void choosePlan(const QString &planId);

    // "$9.99", "€41.94", "59.88 CHF".
    static QString formatPrice(double amount, const QString &currency);
    static QString periodText(int months);

signals:
    void countChanged();
    void loadingChanged();
    void errorTextChanged();

public slots:
    void parseResponse(QByteArray data, int statusCode);
    void onErrorOccurred();

private:
    void setLoading(bool loading);
    void setErrorText(const QString &text);

    NetworkManager *m_request;
    QList<SubscriptionPlan> m_plans;
    bool m_loading = false;
    QString m_errorText;
};
