#pragma once

#include <QAbstractListModel>
#include <QByteArray>
#include <QList>
#include <QString>

class NetworkManager;

// The account's devices, this one first; the user can remove the others.
class ConnectedDevicesModel : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)
    Q_PROPERTY(int countedCount READ countedCount NOTIFY countChanged)
public:
    enum Roles {
        UuidRole = Qt::UserRole + 1,
        OsRole,
        BrandRole,
        ModelRole,
        OsVersionRole,
        LogoRole,
        IsCurrentRole,
        VpnConnectedRole,
        CountsTowardLimitRole,
    };

    explicit ConnectedDevicesModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    int count() const { return int(m_devices.size()); }
    int countedCount() const;

    Q_INVOKABLE void fetchDevices();
    Q_INVOKABLE void removeDevice(QString Uuid);

    // The numeric id a session token starts with ("12|..." is 12); 0 if none.
    static qint64 tokenId(const QString &token);

signals:
    void countChanged();

public slots:
    void parseResponse(QByteArray data, int statusCode);

private:
    struct Device
    {
        QString uuid;
        QString os;
        QString brand;
        QString model;
        QString osVersion;
        QString logo;
        bool isCurrent = false;
        bool vpnConnected = false;
        bool countsTowardLimit = true;
    };
    int indexOf(const QString &uuid) const;
    static int indexIn(const QList<Device> &devices, const QString &uuid);
    void sendRemove(const QString &uuid);

    NetworkManager *m_request;
    QList<Device> m_devices;
    qint64 m_tokenId = 0;
};
