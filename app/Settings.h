#pragma once

#include <QByteArray>
#include <QObject>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

// The per-user preference store. It keeps no cache: every getter reads the
// storage, so several instances always agree.
class Settings : public QObject
{
    Q_OBJECT
public:
    explicit Settings(QObject *parent = nullptr);

    static constexpr int kMaxRecentServers = 10;

    bool killSwitch() const;
    void setKillSwitch(bool enabled);
    bool dnsLeakProtection() const;
    void setDnsLeakProtection(bool enabled);
    bool autoConnect() const;
    void setAutoConnect(bool enabled);
    bool startMinimized() const;
    void setStartMinimized(bool enabled);
    bool logging() const;
    void setLogging(bool enabled);
    bool adBlock() const;
    void setAdBlock(bool enabled);
    QByteArray adBlockETag() const;
    void setAdBlockETag(const QByteArray &tag);
    bool bypassList() const;
    void setBypassList(bool enabled);
    QStringList bypassSites() const;
    void setBypassSites(const QStringList &sites);
    bool splitTunnel() const;
    void setSplitTunnel(bool enabled);
    QStringList splitTunnelApps() const;
    void setSplitTunnelApps(const QStringList &apps);
    QStringList trustedNetworks() const;
    void setTrustedNetworks(const QStringList &networks);

    // A `VpnProtocol::Protocol` value: 1..5 as stored, anything else Optimal (0).
    int preferredProtocol() const;
    void setPreferredProtocol(int protocol);

    QStringList recentServers() const;
    void addRecentServer(const QString &name);
    void clearRecentServers();

    QString lastAccountEmail() const;
    void setLastAccountEmail(const QString &email);
    void setDefaultServer(const QString &name);

    void addFavorite(const QString &name);
    void removeFavorite(const QString &name);
    void clearFavorites();
    QStringList favorites() const;

    bool autoStart() const;
    void setAutoStart(bool enabled);

    QVariant value(const QString &key) const;
    void setValue(const QString &key, const QVariant &value);

private:
    bool readBool(const char *key, bool fallback = false) const;
    void write(const char *key, const QVariant &value);
    // Rewrites favourites an earlier client stored under nested keys (names
    // with a slash) in today's form; called inside the favourites group.
    void moveNestedFavorites();

    QSettings m_settings;
};
