#pragma once

#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>

// The network the stand-in's tunnels pretend to cross: per route family, what
// happens to an activation of that family. It lets a test block protocols the
// way a restrictive network would, so the client's walk over its routes can
// be followed from the first try to the one that gets through.
//
// JSON form: {"reality": "blocked", "wireguard": "noDns", ...}; families left
// out work. Rules:
//   "works"    the tunnel connects as the rest of the script says
//   "blocked"  the activation never connects: no "connected", no "error";
//              the client's own time limit has to give up on it
//   "noDns"    the tunnel connects, but the name server behind it
//              (StandInDnsResponder) never answers
//
// The family of an activation comes from the "activate" message itself, as
// the service would see it: a "vless" link starting with "hysteria2://" is
// "hysteria2", one with "type=ws" is "reality-cdn", any other "vless" is
// "reality"; an "awg" key makes "amneziawg"; everything else is "wireguard".
// OpenVPN runs as a process, not through the daemon, and has no family here.
class StandInNetwork
{
public:
    static const QString Works;
    static const QString Blocked;
    static const QString NoDns;

    static QString familyOf(const QJsonObject &activate);
    static const QStringList &families();
    static const QStringList &rules();

    // "works" for a family without a rule, and for no family at all (a
    // tunnel that was up before any activation).
    QString ruleFor(const QString &family) const;
    bool isEmpty() const { return m_rules.isEmpty(); }

    // An unknown family or rule refuses the whole description, with the
    // reason in `error`: a test must not run another network than it wrote.
    static bool fromJson(const QJsonObject &json, StandInNetwork *network, QString *error = nullptr);
    QJsonObject toJson() const;

private:
    QMap<QString, QString> m_rules;
};
