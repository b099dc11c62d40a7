#include "servers/ServerFilterProxyModel.h"

#include <QQmlEngine>

#include "servers/ServersModel.h"
#include "vpn/VpnProtocol.h"

ServerFilterProxyModel::ServerFilterProxyModel(QObject *parent)
    : QSortFilterProxyModel(parent)
{
    setSortRole(ServersModel::RecencyRole);
    setRecursiveFilteringEnabled(false);
    sort(0, Qt::AscendingOrder);
}

void ServerFilterProxyModel::registerQmlType()
{
    qmlRegisterType<ServerFilterProxyModel>("com.qt.kelvra", 1, 0, "SFilterModel");
}

void ServerFilterProxyModel::setFilterCategory(const QString &category)
{
    if (category == m_filterCategory)
        return;
    m_filterCategory = category;
    invalidateFilter();
    emit filterCategoryChanged();
}

void ServerFilterProxyModel::setProtocolFilter(int protocol)
{
    if (protocol == m_protocolFilter)
        return;
    m_protocolFilter = protocol;
    invalidateFilter();
    emit protocolFilterChanged();
}

void ServerFilterProxyModel::setRestrictedOnly(bool restrictedOnly)
{
    if (restrictedOnly == m_restrictedOnly)
        return;
    m_restrictedOnly = restrictedOnly;
    invalidateFilter();
    emit restrictedOnlyChanged();
}

void ServerFilterProxyModel::setSearchText(const QString &text)
{
    if (text == m_searchText)
        return;
    m_searchText = text;
    invalidateFilter();
}

bool ServerFilterProxyModel::acceptsServer(const QModelIndex &server, const QString &locationName) const
{
    if (m_filterCategory == QLatin1String("Favorite"))
        return server.data(ServersModel::FavoriteRole).toBool();
    if (m_restrictedOnly && !server.data(ServersModel::CdnRouteRole).toBool())
        return false;
    if (!m_filterCategory.isEmpty() && server.data(ServersModel::CategoryRole).toString() != m_filterCategory)
        return false;
    if (m_protocolFilter != 0) {
        const QVariantList protocols = server.data(ServersModel::SupportedProtosRole).toList();
        const bool offered = protocols.contains(m_protocolFilter)
                             || (m_protocolFilter == VpnProtocol::Stealth && protocols.contains(int(VpnProtocol::Hysteria2)));
        if (!offered)
            return false;
    }
    if (m_searchText.isEmpty())
        return true;
    return locationName.contains(m_searchText, Qt::CaseInsensitive)
           || server.data(ServersModel::CountryRole).toString().contains(m_searchText, Qt::CaseInsensitive)
           || server.data(ServersModel::CityRole).toString().contains(m_searchText, Qt::CaseInsensitive);
}

int ServerFilterProxyModel::acceptedChildren(const QModelIndex &sourceLocation) const
{
    const QAbstractItemModel *source = sourceModel();
    const QString locationName = sourceLocation.data(ServersModel::CountryRole).toString();
    int accepted = 0;
    const int rows = source->rowCount(sourceLocation);
    for (int row = 0; row < rows; ++row) {
        if (acceptsServer(source->index(row, 0, sourceLocation), locationName))
            ++accepted;
    }
    return accepted;
}

bool ServerFilterProxyModel::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const
{
    const QAbstractItemModel *source = sourceModel();
    if (!source)
        return false;
    const QModelIndex row = source->index(sourceRow, 0, sourceParent);
    if (!row.isValid())
        return false;
    if (sourceParent.isValid())
        return acceptsServer(row, sourceParent.data(ServersModel::CountryRole).toString());
    const int rows = source->rowCount(row);
    const QString locationName = row.data(ServersModel::CountryRole).toString();
    for (int child = 0; child < rows; ++child) {
        if (acceptsServer(source->index(child, 0, row), locationName))
            return true;
    }
    return false;
}

bool ServerFilterProxyModel::lessThan(const QModelIndex &left, const QModelIndex &right) const
{
    const int a = left.data(ServersModel::RecencyRole).toInt();
    const int b = right.data(ServersModel::RecencyRole).toInt();
    if (a != b) {
        if (a >= 0 && b >= 0)
            return a < b;
        return a >= 0;
    }
    return QString::localeAwareCompare(left.data(ServersModel::CountryRole).toString(),
                                       right.data(ServersModel::CountryRole).toString())
           < 0;
}

QVariant ServerFilterProxyModel::data(const QModelIndex &index, int role) const
{
    if (role == FilteredChildCountRole || role == FavoriteChildCountRole) {
        const QModelIndex source = mapToSource(index);
        if (!source.isValid() || source.parent().isValid())
            return {};
        return acceptedChildren(source);
    }
    return QSortFilterProxyModel::data(index, role);
}

QHash<int, QByteArray> ServerFilterProxyModel::roleNames() const
{
    QHash<int, QByteArray> roles = QSortFilterProxyModel::roleNames();
    roles.insert(FilteredChildCountRole, "filteredChildCount");
    roles.insert(FavoriteChildCountRole, "favoriteChildCount");
    return roles;
}
