#pragma once

#include <QAbstractItemModel>
#include <QList>
#include <QSet>
#include <QString>

#include "vpn/VpnProtocol.h"

// The protocol choices on the protocol page. It keeps the user's choice apart
// from the effective one: a server that lacks the chosen protocol shows
// Optimal without losing the choice, which comes back with the next server
// that offers it.
class ProtocolsModel : public QAbstractItemModel
{
    Q_OBJECT
    Q_PROPERTY(int selectedProtocol READ selectedProtocol NOTIFY protocolChanged)
public:
    enum Roles {
        TypeRole = Qt::UserRole,  // 256 "type"
        NameRole,                 // 257 "name"
        DescriptionRole,          // 258 "desc"
        ChosenRole,               // 259 "protoEnabled"
        AvailableRole,            // 260 "available"
    };

    explicit ProtocolsModel(QObject *parent = nullptr);

    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    // The first chosen row's type; 0 when none is chosen.
    int selectedProtocol() const;
    // What the user picked, kept while the current server lacks it.
    int userChoice() const { return m_choice; }

    Q_INVOKABLE void updateProtocol(int type);
    // The protocols the current server offers.
    void setAvailableProtocols(const QSet<int> &protocols);

signals:
    void protocolChanged(VpnProtocol::Protocol proto);
    void protocolChosen(VpnProtocol::Protocol proto);

private:
    struct Row {
        int type;
        QString name;
        QString description;
        bool chosen;
    };

    bool hasRow(int type) const;
    void refreshSelection(bool force);

    QList<Row> m_rows;
    int m_choice = 0;
    QSet<int> m_offered;
    bool m_offeredGiven = false;
};
