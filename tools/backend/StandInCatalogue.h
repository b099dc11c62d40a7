#pragma once

#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// The stand-in's seeded server catalogue ("client/servers") and the
// per-connection configurations it hands out ("client/configuration/<id>"),
// built from the JSON seed compiled into the stand-in's resources. Every
// address in it exists only inside the test network namespace and every key
// is made up.
class StandInCatalogue
{
public:
    StandInCatalogue();

    // The whole "client/servers" answer.
    QJsonObject serversAnswer() const { return m_servers; }
    QByteArray serversBody() const { return m_serversBody; }
    // Every address the catalogue names: servers, pools, Cloudflare fronts.
    QStringList addresses() const;
    // The Cloudflare fronts' addresses ("cdn_probe"."address").
    QStringList frontAddresses() const;
    bool hasConfigId(const QString &configId) const;

    struct Result
    {
        int status = 200;          // 200, or the refusal's status
        QString error;             // the refusal's message
        QJsonObject answer;        // the answer body on success
    };
    // A configuration for the entry with that config id, in the form the
    // API type ("WireGuard", "OpenVPN", "AmneziaWG", "Reality", "Hysteria2")
    // and transport ("tcp", "cdn" or empty) ask for. recover marks the answer
    // as a recreated peer.
    Result configuration(const QString &configId, const QString &vpnType, const QString &transport,
                         bool recover);

private:
    struct Entry
    {
        QJsonObject object;
        QStringList members; // pool: member config ids
    };
    QString fill(const QString &form, const QJsonObject &server, const QString &transport) const;
    static QStringList offered(const QJsonObject &server);

    QJsonObject m_servers;
    QByteArray m_serversBody;
    QJsonObject m_templates;
    QHash<QString, Entry> m_entries; // by config id
    QHash<QString, int> m_poolTurns;
};
