#pragma once

#include <QAbstractListModel>

// The subscription plans the plans page lists. Published now so the pages can
// bind to it; it lists nothing until the plans page is built.
class PremiumModel : public QAbstractListModel
{
    Q_OBJECT
public:
    explicit PremiumModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
};
