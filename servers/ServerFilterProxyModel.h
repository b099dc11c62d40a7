#pragma once

#include <QSortFilterProxyModel>
#include <QString>

// The server pages' view of the catalogue: filtered by category, protocol,
// restricted-network usability and search text, recent locations first.
class ServerFilterProxyModel : public QSortFilterProxyModel
{
    Q_OBJECT
    Q_PROPERTY(QString filterCategory READ filterCategory WRITE setFilterCategory NOTIFY filterCategoryChanged)
    Q_PROPERTY(int protocolFilter READ protocolFilter WRITE setProtocolFilter NOTIFY protocolFilterChanged)
    Q_PROPERTY(bool restrictedOnly READ restrictedOnly WRITE setRestrictedOnly NOTIFY restrictedOnlyChanged)
public:
    enum Roles { FilteredChildCountRole = 0, FavoriteChildCountRole = 1 };

    explicit ServerFilterProxyModel(QObject *parent = nullptr);

    // Makes the type known to QML as "SFilterModel" in "com.qt.kelvra" 1.0.
    static void registerQmlType();

    QString filterCategory() const { return m_filterCategory; }
    void setFilterCategory(const QString &category);
    int protocolFilter() const { return m_protocolFilter; }
    void setProtocolFilter(int protocol);
    bool restrictedOnly() const { return m_restrictedOnly; }
    void setRestrictedOnly(bool restrictedOnly);
    QString searchText() const { return m_searchText; }
    Q_INVOKABLE void setSearchText(const QString &text);

    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

signals:
    void filterCategoryChanged();
    void protocolFilterChanged();
    void restrictedOnlyChanged();

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;
    bool lessThan(const QModelIndex &left, const QModelIndex &right) const override;

private:
    bool acceptsServer(const QModelIndex &server, const QString &locationName) const;
    int acceptedChildren(const QModelIndex &sourceLocation) const;

    QString m_filterCategory = QStringLiteral("Free");
    int m_protocolFilter = 0;
    bool m_restrictedOnly = false;
    QString m_searchText;
};
