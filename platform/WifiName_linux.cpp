#include "platform/WifiName.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QProcess>
#include <QStringList>

namespace {

// NetworkManager answers from memory; a bus that takes longer is stuck.
constexpr int kBusWaitMs = 1500;
// iw asks the driver; a missing program fails at once.
constexpr int kToolWaitMs = 1500;
// An SSID is at most 32 bytes; anything longer is not one.
constexpr int kMaxSsidBytes = 32;

const QString kService = QStringLiteral("org.freedesktop.NetworkManager");
const QString kDeviceInterface = QStringLiteral("org.freedesktop.NetworkManager.Device");
const QString kWirelessInterface = QStringLiteral("org.freedesktop.NetworkManager.Device.Wireless");
const QString kAccessPointInterface = QStringLiteral("org.freedesktop.NetworkManager.AccessPoint");
constexpr uint kWifiDevice = 2;       // NM_DEVICE_TYPE_WIFI
constexpr uint kDeviceActivated = 100; // NM_DEVICE_STATE_ACTIVATED

enum class BusAnswer { Answered, Refused, Absent };

BusAnswer kindOf(const QDBusMessage &reply)
{
    if (reply.type() == QDBusMessage::ReplyMessage)
        return BusAnswer::Answered;
    const QString error = reply.errorName();
    if (error == QLatin1String("org.freedesktop.DBus.Error.AccessDenied")
        || error == QLatin1String("org.freedesktop.NetworkManager.PermissionDenied"))
        return BusAnswer::Refused;
    return BusAnswer::Absent;
}

QDBusMessage property(const QDBusConnection &bus, const QString &path, const QString &interface, const QString &name)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kService, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                       QStringLiteral("Get"));
    call << interface << name;
    return bus.call(call, QDBus::Block, kBusWaitMs);
}

QVariant valueOf(const QDBusMessage &reply)
{
    if (reply.arguments().isEmpty())
        return {};
    return reply.arguments().constFirst().value<QDBusVariant>().variant();
}

// What NetworkManager says; Absent when it can't be asked at all.
BusAnswer askNetworkManager(WifiName::Reading *reading)
{
    const QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return BusAnswer::Absent;
    const QDBusMessage devices = bus.call(
        QDBusMessage::createMethodCall(kService, QStringLiteral("/org/freedesktop/NetworkManager"), kService,
                                       QStringLiteral("GetDevices")),
        QDBus::Block, kBusWaitMs);
    const BusAnswer answer = kindOf(devices);
    if (answer != BusAnswer::Answered || devices.arguments().isEmpty()) {
        reading->refused = answer == BusAnswer::Refused;
        return answer == BusAnswer::Refused ? BusAnswer::Refused : BusAnswer::Absent;
    }
    const QList<QDBusObjectPath> paths = qdbus_cast<QList<QDBusObjectPath>>(devices.arguments().constFirst());
    for (const QDBusObjectPath &device : paths) {
        const QDBusMessage type = property(bus, device.path(), kDeviceInterface, QStringLiteral("DeviceType"));
        const QDBusMessage state = property(bus, device.path(), kDeviceInterface, QStringLiteral("State"));
        if (kindOf(type) == BusAnswer::Refused || kindOf(state) == BusAnswer::Refused) {
            reading->refused = true;
            continue;
        }
        if (valueOf(type).toUInt() != kWifiDevice || valueOf(state).toUInt() != kDeviceActivated)
            continue;
        const QDBusMessage accessPoint =
            property(bus, device.path(), kWirelessInterface, QStringLiteral("ActiveAccessPoint"));
        const QString apPath = valueOf(accessPoint).value<QDBusObjectPath>().path();
        if (kindOf(accessPoint) == BusAnswer::Refused) {
            reading->refused = true;
            continue;
        }
        if (apPath.isEmpty() || apPath == QLatin1String("/"))
            continue;
        const QDBusMessage ssid = property(bus, apPath, kAccessPointInterface, QStringLiteral("Ssid"));
        if (kindOf(ssid) == BusAnswer::Refused) {
            reading->refused = true;
            continue;
        }
        const QByteArray bytes = valueOf(ssid).toByteArray();
        if (bytes.isEmpty() || bytes.size() > kMaxSsidBytes)
            continue;
        reading->name = QString::fromUtf8(bytes);
        reading->refused = false;
        return BusAnswer::Answered;
    }
    return reading->refused ? BusAnswer::Refused : BusAnswer::Answered;
}

QByteArray runTool(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program, arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted(kToolWaitMs))
        return {};
    if (!process.waitForFinished(kToolWaitMs)) {
        process.kill();
        process.waitForFinished(kToolWaitMs);
        return {};
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return {};
    return process.readAllStandardOutput();
}

// iw prints an SSID with every byte it won't show as is (non-ASCII, a
// backslash, a space at either end) written as "\xNN".
QByteArray unescapeSsid(const QByteArray &text)
{
    QByteArray ssid;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) == '\\' && i + 3 < text.size() && text.at(i + 1) == 'x') {
            bool ok = false;
            const int byte = text.mid(i + 2, 2).toInt(&ok, 16);
            if (ok) {
                ssid.append(char(byte));
                i += 3;
                continue;
            }
        }
        ssid.append(text.at(i));
    }
    return ssid;
}

// "iw dev" lists each interface; a connected one has an "ssid" line.
QString askIw()
{
    const QByteArray output = runTool(QStringLiteral("iw"), {QStringLiteral("dev")});
    for (const QByteArray &raw : output.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (!line.startsWith("ssid "))
            continue;
        // Only the one separating space goes; the name's own ends are escaped.
        const QByteArray ssid = unescapeSsid(raw.mid(raw.indexOf("ssid ") + 5));
        if (!ssid.isEmpty() && ssid.size() <= kMaxSsidBytes)
            return QString::fromUtf8(ssid);
    }
    return {};
}

} // namespace

WifiName::Reading WifiName::readSystem()
{
    // NetworkManager knows the connected network without a scan; where it
    // doesn't run, iw asks the wireless driver. A refusal by NetworkManager's
    // policy is reported as such rather than as "not on Wi-Fi".
    Reading reading;
    if (askNetworkManager(&reading) == BusAnswer::Absent)
        reading.name = askIw();
    return reading;
}
