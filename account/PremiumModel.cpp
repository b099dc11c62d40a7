#include "account/PremiumModel.h"

#include "app/Logger.h"

namespace {
Logger logger(QStringLiteral("PremiumModel"));
} // namespace

PremiumModel::PremiumModel(QObject *parent) : QAbstractListModel(parent)
{
    logger.info() << "Plans are not built yet: the plans list stays empty";
}

int PremiumModel::rowCount(const QModelIndex &parent) const
{
    Q_UNUSED(parent)
    return 0;
}

QVariant PremiumModel::data(const QModelIndex &index, int role) const
{
    Q_UNUSED(index)
    Q_UNUSED(role)
    return {};
}
