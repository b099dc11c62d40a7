#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QObject>
#include <QSharedPointer>
#include <QTimer>

class CoalescedSend;
class QNetworkReply;
class Settings;
class VpnConnection;

// Ad and tracker blocking, which the service does with a list of names the
// backend publishes. The list is fetched once a day (and when the switch goes
// on), kept on disk between runs, and handed with the switch to the service
// whenever either changes and whenever a tunnel comes up, since the service
// applies it per connection. A list that fails its checks never replaces the
// one held.
class AdBlock : public QObject
{
    Q_OBJECT
    // The service said it can't block ads on this computer or connection.
    Q_PROPERTY(bool unavailable READ unavailable NOTIFY unavailableChanged)
public:
    static constexpr int kRefreshMs = 24 * 60 * 60 * 1000;

    AdBlock(QSharedPointer<Settings> settings, QSharedPointer<VpnConnection> vpnConnection, QObject *parent = nullptr);
    ~AdBlock() override;

    bool unavailable() const { return m_unavailable; }
    // The names in force (empty until a valid list was loaded or fetched).
    QJsonArray domains() const { return m_domains; }

signals:
    void unavailableChanged();

public slots:
    void setEnabled(bool enabled);

private:
    void download();
    void onDownloaded(QNetworkReply *reply, const QByteArray &body, const QByteArray &sentAuthorization);
    void takeList(const QByteArray &document, const QByteArray &etag);
    QJsonObject message() const;
    void onReply(const QJsonObject &reply);
    bool signedInAndOn() const;

    QSharedPointer<Settings> m_settings;
    QSharedPointer<VpnConnection> m_vpnConnection;
    QJsonArray m_domains;
    QTimer m_refreshTimer;
    CoalescedSend *m_sender = nullptr;
    bool m_downloading = false;
    bool m_unavailable = false;
    bool m_silenceLogged = false;
};
