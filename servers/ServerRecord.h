#pragma once

#include <QList>
#include <QString>
#include <QVariantList>

#include <memory>
#include <utility>
#include <vector>

#include "vpn/VpnProtocol.h"

// A text per protocol (the API's own names for it); empty means none. Few
// servers carry any, so the record only holds the ones given.
struct ProtocolTexts {
    QList<std::pair<VpnProtocol::Protocol, QString>> texts;
    QString value(VpnProtocol::Protocol protocol) const
    {
        for (const auto &text : texts) {
            if (text.first == protocol)
                return text.second;
        }
        return {};
    }
    bool contains(VpnProtocol::Protocol protocol) const { return !value(protocol).isEmpty(); }
    void insert(VpnProtocol::Protocol protocol, const QString &text)
    {
        for (auto &existing : texts) {
            if (existing.first == protocol) {
                existing.second = text;
                return;
            }
        }
        texts.append({protocol, text});
    }
};

// One location or one server of the catalogue, as the list answer describes
// it. The rest of the client knows it as ServersModel::Server; it lives apart
// from the model so that reading an answer needs no item model at all. A
// location owns its servers.
struct ServerRecord {
    QString name;
    QString city;
    QString ipAddress;
    QString flag;
    QString category;
    QString serverId;
    QString configId;
    QString apiId;
    QList<VpnProtocol::Protocol> protocols;
    ProtocolTexts vpnTypes;
    ProtocolTexts transports;
    VpnProtocol::Protocol recommendedProtocol = VpnProtocol::WireGuard;
    VpnProtocol::Protocol selectedProtocol = VpnProtocol::Optimal;
    bool hasCdnRoute = false;
    bool isPool = false;
    QString cdnProbeAddress;
    QString cdnProbeSni;
    QString cdnProbePath;
    int estimatedPingMs = -1;
    bool favorite = false;
    int childServersCount = 0;
    int speedScore = 0;
    int health = 0;
    bool hasCoordinates = false;
    double latitude = 0;
    double longitude = 0;
    std::vector<std::unique_ptr<ServerRecord>> children;
    ServerRecord *parent = nullptr;
    int row = 0;

    // P is offered when listed, and Stealth also through a CDN route or Hysteria2.
    bool offers(VpnProtocol::Protocol protocol) const;
    // selectedProtocol, or recommendedProtocol while that is Optimal.
    VpnProtocol::Protocol effectiveProtocol() const;
    bool usableCdnRoute() const;
    QVariantList supportedProtos() const;
    const ServerRecord *location() const { return parent ? parent : this; }
};

// The pool that stands for a member server.
struct PoolRef {
    QString configId;
    QString name;
    QString id;
};
