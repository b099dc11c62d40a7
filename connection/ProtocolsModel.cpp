#include "connection/ProtocolsModel.h"

ProtocolsModel::ProtocolsModel(QObject *parent) : QAbstractItemModel(parent)
{
    // Hysteria2 is one of Smart Connect's routes, never a choice of its own.
    m_rows = {
        {VpnProtocol::Optimal, QStringLiteral("Optimal"),
         tr("Picks the best protocol for your network automatically."), true},
        {VpnProtocol::WireGuard, QStringLiteral("WireGuard"),
         tr("Fastest. Best for everyday use where VPNs aren't blocked."), false},
        {VpnProtocol::OpenVpnUdp, QStringLiteral("OpenVPN UDP"),
         tr("Reliable and widely supported. Good if WireGuard is unstable."), false},
        {VpnProtocol::OpenVpnTcp, QStringLiteral("OpenVPN TCP"),
         tr("Slower, but gets through firewalls that block UDP, such as hotels, offices and schools."), false},
        {VpnProtocol::AmneziaWg, QStringLiteral("AmneziaWG"),
         tr("Disguised WireGuard. For networks that detect and block VPN traffic."), false},
        {VpnProtocol::Stealth, QStringLiteral("Stealth"),
         tr("Looks like ordinary web browsing. For the most restrictive networks, when everything else is "
            "blocked."),
         false},
    };
}

QModelIndex ProtocolsModel::index(int row, int column, const QModelIndex &parent) const
{
    if (parent.isValid() || column != 0 || row < 0 || row >= m_rows.size())
        return {};
    return createIndex(row, column);
}

QModelIndex ProtocolsModel::parent(const QModelIndex &child) const
{
    Q_UNUSED(child)
    return {};
}

int ProtocolsModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int ProtocolsModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 1;
}

QVariant ProtocolsModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.model() != this || index.parent().isValid() || index.row() >= m_rows.size())
        return {};
    const Row &row = m_rows.at(index.row());
    switch (role) {
    case TypeRole:
        return row.type;
    case NameRole:
        return row.name;
    case DescriptionRole:
        return row.description;
    case ChosenRole:
        return row.chosen;
    case AvailableRole:
        return row.type == VpnProtocol::Optimal || m_offered.contains(row.type);
    default:
        return {};
    }
}

QHash<int, QByteArray> ProtocolsModel::roleNames() const
{
    return {{TypeRole, "type"},
            {NameRole, "name"},
            {DescriptionRole, "desc"},
            {ChosenRole, "protoEnabled"},
            {AvailableRole, "available"}};
}

int ProtocolsModel::selectedProtocol() const
{
    for (const Row &row : m_rows) {
        if (row.chosen)
            return row.type;
    }
    return VpnProtocol::Optimal;
}

bool ProtocolsModel::hasRow(int type) const
{
    for (const Row &row : m_rows) {
        if (row.type == type)
            return true;
    }
    return false;
}

void ProtocolsModel::updateProtocol(int type)
{
    m_choice = hasRow(type) ? type : int(VpnProtocol::Optimal);
    emit protocolChosen(VpnProtocol::Protocol(m_choice));
    refreshSelection(true);
}

void ProtocolsModel::setAvailableProtocols(const QSet<int> &protocols)
{
    if (m_offeredGiven && protocols == m_offered)
        return;
    m_offered = protocols;
    m_offeredGiven = true;
    if (!m_rows.isEmpty())
        emit dataChanged(index(0, 0), index(int(m_rows.size()) - 1, 0), {AvailableRole});
    refreshSelection(false);
}

void ProtocolsModel::refreshSelection(bool force)
{
    // Until a server is known nothing says the choice is unavailable.
    const bool keepChoice = !m_offeredGiven || m_choice == VpnProtocol::Optimal || m_offered.contains(m_choice);
    const int effective = keepChoice ? m_choice : int(VpnProtocol::Optimal);
    const int before = selectedProtocol();
    for (int i = 0; i < m_rows.size(); ++i) {
        const bool chosen = m_rows.at(i).type == effective;
        if (m_rows.at(i).chosen == chosen)
            continue;
        m_rows[i].chosen = chosen;
        emit dataChanged(index(i, 0), index(i, 0), {ChosenRole});
    }
    if (force || effective != before)
        emit protocolChanged(VpnProtocol::Protocol(effective));
}
