#include "account/ConnectedDevicesModel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include "account/TokenManager.h"
#include "api/ApiHost.h"
#include "api/AuthGuard.h"
#include "api/NetworkManager.h"
#include "app/Logger.h"

namespace {

Logger logger(QStringLiteral("ConnectedDevicesModel"));

QString textOf(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 16);
    return value.toString();
}

bool flagOf(const QJsonObject &object, const char *key, bool fallback)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isBool())
        return value.toBool();
    if (value.isDouble())
        return value.toDouble() != 0;
    return fallback;
}

// The id goes into a request header: visible ASCII only.
bool isHeaderSafe(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x21 || c.unicode() > 0x7e)
            return false;
    }
    return !text.isEmpty();
}

bool isSuccess(const QByteArray &data)
{
    return QJsonDocument::fromJson(data).object().value(QLatin1String("success")).toBool();
}

} // namespace

ConnectedDevicesModel::ConnectedDevicesModel(QObject *parent)
    : QAbstractListModel(parent), m_request(new NetworkManager(this))
{
    connect(m_request, &NetworkManager::requestFinished, this, &ConnectedDevicesModel::parseResponse);
}

int ConnectedDevicesModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : count();
}

QVariant ConnectedDevicesModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= count())
        return QVariant();
    const Device &device = m_devices.at(index.row());
    switch (role) {
    case UuidRole:
        return device.uuid;
    case OsRole:
        return device.os;
    case BrandRole:
        return device.brand;
    case ModelRole:
        return device.model;
    case OsVersionRole:
        return device.osVersion;
    case LogoRole:
        return device.logo;
    case IsCurrentRole:
        return device.isCurrent;
    case VpnConnectedRole:
        return device.vpnConnected;
    case CountsTowardLimitRole:
        return device.countsTowardLimit;
    default:
        return QVariant();
    }
}

QHash<int, QByteArray> ConnectedDevicesModel::roleNames() const
{
    return {
        {UuidRole, "device_Uuid"},
        {OsRole, "device_os"},
        {BrandRole, "device_brand"},
        {ModelRole, "device_model"},
        {OsVersionRole, "device_os_version"},
        {LogoRole, "logo"},
        {IsCurrentRole, "device_is_current"},
        {VpnConnectedRole, "vpn_connected"},
        {CountsTowardLimitRole, "counts_toward_limit"},
    };
}

int ConnectedDevicesModel::countedCount() const
{
    int counted = 0;
    for (const Device &device : m_devices)
        counted += device.countsTowardLimit ? 1 : 0;
    return counted;
}

qint64 ConnectedDevicesModel::tokenId(const QString &token)
{
    const int bar = token.indexOf(QLatin1Char('|'));
    if (bar <= 0)
        return 0;
    bool ok = false;
    const qint64 id = token.left(bar).toLongLong(&ok);
    return ok && id > 0 ? id : 0;
}

int ConnectedDevicesModel::indexOf(const QString &uuid) const
{
    return indexIn(m_devices, uuid);
}

int ConnectedDevicesModel::indexIn(const QList<Device> &devices, const QString &uuid)
{
    for (int i = 0; i < devices.size(); ++i) {
        if (devices.at(i).uuid == uuid)
            return i;
    }
    return -1;
}

void ConnectedDevicesModel::fetchDevices()
{
    const QString token = TokenManager::instance()->getToken();
    m_tokenId = tokenId(token);
    m_request->request(ApiHost::url(QStringLiteral("connected-device")), QJsonObject(), NetworkManager::GET, token, 0,
                       true);
}

void ConnectedDevicesModel::parseResponse(QByteArray data, int statusCode)
{
    Q_UNUSED(statusCode)
    const QJsonObject answer = QJsonDocument::fromJson(data).object();
    if (!answer.value(QLatin1String("success")).toBool()) {
        logger.warning() << "Couldn't fetch connected devices";
        return;
    }
    // The list comes wrapped: "data" holds the array of devices as its first
    // element.
    const QJsonArray outer = answer.value(QLatin1String("data")).toArray();
    const QJsonArray list = outer.at(0).isArray() ? outer.at(0).toArray() : outer;

    QList<Device> devices;
    for (const QJsonValue &value : list) {
        if (!value.isObject())
            continue;
        const QJsonObject entry = value.toObject();
        Device device;
        device.uuid = textOf(entry, "device_uuid");
        device.os = textOf(entry, "device_os");
        device.brand = textOf(entry, "device_brand");
        device.model = textOf(entry, "device_model");
        device.osVersion = textOf(entry, "device_os_version");
        device.logo = textOf(entry, "device_icon");
        device.vpnConnected = flagOf(entry, "vpn_connected", false);
        device.countsTowardLimit = flagOf(entry, "counts_toward_limit", true);
        if (entry.contains(QLatin1String("is_current"))) {
            device.isCurrent = flagOf(entry, "is_current", false);
        } else {
            const qint64 id = entry.value(QLatin1String("access_token_id")).toVariant().toLongLong();
            device.isCurrent = m_tokenId > 0 && id == m_tokenId;
        }
        // One row per id; an entry without an id is a device of its own. Of
        // two entries for one id, the one that says "this device" is kept.
        const int listed = device.uuid.isEmpty() ? -1 : indexIn(devices, device.uuid);
        if (listed >= 0) {
            if (!device.isCurrent || devices.at(listed).isCurrent)
                continue;
            devices.removeAt(listed);
        }
        if (device.isCurrent)
            devices.prepend(device);
        else
            devices.append(device);
    }

    beginResetModel();
    m_devices = devices;
    endResetModel();
    emit countChanged();
}

void ConnectedDevicesModel::removeDevice(QString Uuid)
{
    if (indexOf(Uuid) < 0 || !isHeaderSafe(Uuid)) {
        logger.warning() << "Couldn't get device";
        return;
    }
    sendRemove(Uuid);
}

void ConnectedDevicesModel::sendRemove(const QString &uuid)
{
    const QString url = ApiHost::url(QStringLiteral("remove-device"));
    QNetworkRequest request{QUrl(url)};
    request.setRawHeader("Content-Type", "application/json");
    request.setRawHeader("Accept", "application/json");
    request.setRawHeader("x-device-id", uuid.toUtf8());
    ApiHost::stampClient(request);
    const QString token = TokenManager::instance()->getToken();
    if (!token.isEmpty())
        request.setRawHeader("Authorization", QByteArray("Bearer ") + token.toUtf8());

    QNetworkReply *reply = ApiHost::sharedManager()->post(request, QByteArray("{}"));
    connect(reply, &QNetworkReply::finished, this, [this, reply, uuid] {
        reply->deleteLater();
        const QByteArray body = reply->isReadable() ? reply->readAll() : QByteArray();
        if (ApiHost::handleReply(reply, body)) {
            QTimer::singleShot(ApiHost::retryDelayMs(), this, [this, uuid] { sendRemove(uuid); });
            return;
        }
        if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 401)
            AuthGuard::check401(reply->request().rawHeader("Authorization"));
        const int row = indexOf(uuid);
        if (!isSuccess(body) || row < 0) {
            logger.warning() << "Couldn't remove device";
            return;
        }
        beginRemoveRows(QModelIndex(), row, row);
        m_devices.removeAt(row);
        endRemoveRows();
        emit countChanged();
    });
}
