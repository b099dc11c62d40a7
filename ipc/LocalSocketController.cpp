#include "ipc/LocalSocketController.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QTimer>

#include <cmath>

#include "app/Logger.h"
#include "ipc/LinkClock.h"
#include "ipc/ServiceNames.h"
#include "platform/PeerCheck.h"

namespace {
Logger logger(QStringLiteral("LocalSocketController"));

constexpr qint64 kStatusGapMs = 10000;
constexpr qint64 kGraceMs = 20000;
constexpr qint64 kBlindDeadMs = 300000;
constexpr qint64 kSimulatedDeadMs = 60000;
constexpr double kHandshakeDeadSeconds = 240;
constexpr int kDefaultProbesToDead = 2;
constexpr qint64 kErrorRepeatMs = 2999;
constexpr qint64 kSampleGapMs = 10000;
constexpr int kApiFetchTimeoutMs = 17000;
constexpr int kDeactivateTimeoutMs = 1000;

const char kIpv6Device[] = "fd58:baa6:dead::1";

bool simulateDeadWanted()
{
#ifdef KELVRA_STAGING
    static const bool wanted = !qEnvironmentVariableIsEmpty("KELVRA_SIMULATE_DEAD");
    return wanted;
#else
    return false;
#endif
}

bool &simulateDeadUsed()
{
    static bool used = false;
    return used;
}

QByteArray frame(const QJsonObject &message)
{
    return QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n';
}

// A byte counter from the service: a whole, non-negative number that fits.
bool readCounter(const QJsonValue &value, quint64 *out)
{
    if (!value.isDouble())
        return false;
    const double d = value.toDouble();
    if (!std::isfinite(d) || d < 0 || d >= 18446744073709551616.0)
        return false;
    *out = quint64(d);
    return true;
}

void copyIfPresent(QJsonObject &to, const char *toKey, const QJsonObject &from, const char *fromKey)
{
    const QJsonValue value = from.value(QLatin1String(fromKey));
    if (!value.isUndefined())
        to.insert(QLatin1String(toKey), value);
}
} // namespace

LocalSocketController::LocalSocketController(QObject *parent) : QObject(parent), m_socket(new QLocalSocket(this))
{
    connect(m_socket, &QLocalSocket::connected, this, &LocalSocketController::onSocketConnected);
    connect(m_socket, &QLocalSocket::disconnected, this, &LocalSocketController::onSocketDisconnected);
    connect(m_socket, &QLocalSocket::readyRead, this, &LocalSocketController::readData);
    connect(m_socket, &QLocalSocket::errorOccurred, this, &LocalSocketController::errorOccurred);
}

LocalSocketController::~LocalSocketController()
{
    // The socket's last signals must not reach a half-destroyed controller.
    m_socket->disconnect(this);
}

void LocalSocketController::initialize()
{
    logger.info() << "Initializing";
    logger.info() << "Connecting to:" << ServiceNames::daemonSocket();
    m_linkState = AwaitingStatus;
    m_verified = false;
    m_socket->connectToServer(ServiceNames::daemonSocket(), QIODevice::ReadWrite);
}

void LocalSocketController::onSocketConnected()
{
    if (!verifyServer())
        return;
    logger.info() << "Daemon connected.";
    m_linkState = AwaitingStatus;
    sendJson(QJsonObject { { QStringLiteral("type"), QStringLiteral("status") } });
    if (!m_pendingActivation.isEmpty()) {
        const QJsonObject message = m_pendingActivation;
        m_pendingActivation = QJsonObject();
        writeActivation(message);
    }
}

bool LocalSocketController::verifyServer()
{
    if (m_verified)
        return true;
    if (m_refused || !PeerCheck::isInstalledService(m_socket)) {
        m_refused = true;
        m_pendingActivation = QJsonObject(); // answered by the refusal below
        m_socket->abort();
        emit daemonErrorOccurred(VpnProtocol::ServiceNotRunning);
        return false;
    }
    m_verified = true;
    return true;
}

void LocalSocketController::onSocketDisconnected()
{
    m_verified = false;
    m_buffer.clear();
    if (failPendingActivation())
        return;
    if (m_tunnelUp) {
        m_tunnelUp = false;
        logger.warning() << "The service went away while connected";
        emit daemonErrorOccurred(VpnProtocol::ServiceLinkLost);
    } else if (m_activated) {
        // Its "connected" can no longer reach us: the attempt would wait for
        // good.
        logger.warning() << "The service's link dropped during the activation";
        emit daemonErrorOccurred(VpnProtocol::ConnectionFailed);
    }
}

void LocalSocketController::errorOccurred(QLocalSocket::LocalSocketError error)
{
    logger.warning() << "Failed to connect to:" << ServiceNames::daemonSocket() << "error:" << int(error);
    if (m_socket->state() == QLocalSocket::UnconnectedState)
        failPendingActivation();
}

bool LocalSocketController::failPendingActivation()
{
    if (m_pendingActivation.isEmpty())
        return false;
    m_pendingActivation = QJsonObject();
    logger.warning() << "The activation couldn't be sent: the service's link is down";
    emit daemonErrorOccurred(VpnProtocol::ConnectionFailed);
    return true;
}

void LocalSocketController::activate(const QJsonObject &config)
{
    if (m_refused) {
        emit daemonErrorOccurred(VpnProtocol::ServiceNotRunning);
        return;
    }
    const QJsonObject message = activateMessage(config);
    // The pipe opened with the driver may still be on its way: the activation
    // goes out once it is there.
    if (m_socket->state() == QLocalSocket::ConnectingState) {
        m_pendingActivation = message;
        return;
    }
    writeActivation(message);
}

void LocalSocketController::writeActivation(const QJsonObject &message)
{
    // An activation that can't be written would leave the attempt waiting
    // for a "connected" that never comes: it fails instead, where the
    // connect flow sees it.
    if (m_socket->state() != QLocalSocket::ConnectedState) {
        logger.warning() << "The activation couldn't be sent: the service's link is down";
        emit daemonErrorOccurred(VpnProtocol::ConnectionFailed);
        return;
    }
    sendJson(message);
    m_activated = m_verified;
}

void LocalSocketController::deactivate()
{
    m_tunnelUp = false;
    m_pendingActivation = QJsonObject();
    // Once an activation went out the service may be building or running
    // the tunnel, status read or not, pipe still there or not: it is always
    // told to take it down.
    const bool activated = m_activated;
    m_activated = false;
    const QJsonObject message { { QStringLiteral("type"), QStringLiteral("deactivate") } };
    if (activated && m_socket->state() != QLocalSocket::ConnectedState)
        request(nullptr, message, kDeactivateTimeoutMs, nullptr);
    else if (m_linkState == Ready || activated)
        sendJson(message);
    emit disconnected();
}

void LocalSocketController::sendJson(const QJsonObject &message)
{
    if (m_socket->state() != QLocalSocket::ConnectedState) {
        logger.warning() << "Socket not connected";
        return;
    }
    if (!verifyServer())
        return;
    m_socket->write(frame(message));
    m_socket->flush();
}

void LocalSocketController::readData()
{
    consume(m_socket->readAll());
}

void LocalSocketController::consume(const QByteArray &bytes)
{
    bool overflowed = false;
    const QByteArrayList lines = m_buffer.append(bytes, &overflowed);
    if (overflowed)
        logger.warning() << "Invalid response from daemon, line too long: dropped";
    const QPointer<LocalSocketController> self(this);
    for (const QByteArray &line : lines) {
        handleLine(line);
        if (!self)
            return;
    }
}

void LocalSocketController::handleLine(const QByteArray &raw)
{
    const QByteArray line = raw.trimmed();
    if (line.isEmpty())
        return;
    const QJsonDocument document = QJsonDocument::fromJson(line);
    if (!document.isObject()) {
        logger.warning() << "Invalid response from daemon, no object";
        return;
    }
    const QJsonObject message = document.object();
    const QJsonValue typeValue = message.value(QLatin1String("type"));
    if (!typeValue.isString()) {
        logger.warning() << "Invalid response from daemon, no type";
        return;
    }
    const QString type = typeValue.toString();
    const bool isStatus = type == QLatin1String("status");
    // The type is the service's text: a long one is cut in the log.
    if (!isStatus)
        logger.info() << "Parsing command:" << type.left(64);
    if (isStatus && m_linkState == AwaitingStatus)
        m_linkState = Ready;

    if (type == QLatin1String("connected")) {
        handleConnected();
    } else if (type == QLatin1String("disconnected")) {
        m_tunnelUp = false;
        m_simulateDead = false;
        m_linkState = Ready;
        emit disconnected();
    } else if (isStatus) {
        handleStatus(message);
    } else if (type == QLatin1String("error")) {
        handleError(message);
    }
}

void LocalSocketController::handleConnected()
{
    m_tunnelUp = true;
    m_stalled = false;
    m_deadSinceAt = -1;
    m_progressAt = LinkClock::monotonicMs();
    m_lastSeenRx = -1;
    if (simulateDeadWanted() && !simulateDeadUsed()) {
        simulateDeadUsed() = true;
        m_simulateDead = true;
        logger.warning() << "KELVRA_SIMULATE_DEAD: this tunnel will look dead (staging test)";
    }
    emit connected();
}

void LocalSocketController::handleStatus(const QJsonObject &message)
{
    const qint64 now = LinkClock::monotonicMs();
    const QJsonValue connectedValue = message.value(QLatin1String("connected"));
    const bool noTunnel = connectedValue.isBool() && !connectedValue.toBool();

    if (m_lastStatusAt < 0 || now - m_lastStatusAt > kStatusGapMs)
        m_progressAt = now;
    m_lastStatusAt = now;

    const bool blind = !message.contains(QLatin1String("handshakeAge")) && !message.contains(QLatin1String("probeFailures"));
    if (blind) {
        const qint64 rx = message.value(QLatin1String("rxBytes")).toInteger(-1);
        if (rx != m_lastSeenRx) {
            m_lastSeenRx = rx;
            m_progressAt = now;
        }
    }

    bool dead = true;
    if (!noTunnel) {
        const qint64 progress = m_progressAt < 0 ? 0 : now - m_progressAt;
        if (blind) {
            dead = progress > kBlindDeadMs;
        } else if (progress <= kGraceMs) {
            dead = false;
        } else if (m_simulateDead && (m_deadSinceAt < 0 || now - m_deadSinceAt < kSimulatedDeadMs)) {
            dead = true;
        } else {
            const QJsonValue handshake = message.value(QLatin1String("handshakeAge"));
            const QJsonValue probesToDead = message.value(QLatin1String("probesToDead"));
            const int failures = message.value(QLatin1String("probeFailures")).toInt(0);
            // Fewer than one probe would call a healthy tunnel dead.
            int limit = probesToDead.isDouble() ? probesToDead.toInt(kDefaultProbesToDead) : kDefaultProbesToDead;
            if (limit < 1)
                limit = kDefaultProbesToDead;
            dead = (handshake.isDouble() && handshake.toDouble() > kHandshakeDeadSeconds)
                || (message.contains(QLatin1String("probeFailures")) && failures >= limit);
        }
    }

    if (m_tunnelUp && dead != m_stalled) {
        m_stalled = dead;
        if (dead) {
            if (m_simulateDead && m_deadSinceAt < 0)
                m_deadSinceAt = now;
            if (noTunnel)
                logger.warning() << "The service reports no tunnel";
            else
                logger.warning() << "The server stopped answering through the tunnel";
            emit tunnelStalled();
        } else {
            logger.info() << "The tunnel answers again";
            emit tunnelAlive();
        }
    }

    if (noTunnel)
        return;
    quint64 rx = 0;
    quint64 tx = 0;
    if (!readCounter(message.value(QLatin1String("rxBytes")), &rx)
        || !readCounter(message.value(QLatin1String("txBytes")), &tx)) {
        logger.warning() << "Invalid RX/TX bytes - double expected";
        return;
    }

    const qint64 nowEpoch = LinkClock::epochMs();
    const qint64 gap = nowEpoch - m_lastSampleMs;
    if (m_lastSampleMs != 0 && gap == 0)
        return; // Same millisecond: no rate can be told; keep the older baseline.
    if (m_lastSampleMs != 0 && gap > 0 && gap <= kSampleGapMs) {
        const double seconds = double(gap) / 1000.0;
        const double download = double(rx > m_lastRx ? rx - m_lastRx : 0) * 8 / 1000000 / seconds;
        const double upload = double(tx > m_lastTx ? tx - m_lastTx : 0) * 8 / 1000000 / seconds;
        emit bytesChanged(download, upload);
    }
    m_lastSampleMs = nowEpoch;
    m_lastRx = rx;
    m_lastTx = tx;
}

void LocalSocketController::handleError(const QJsonObject &message)
{
    const QJsonValue value = message.value(QLatin1String("error"));
    const double number = value.toDouble(0);
    // A code must be a whole number naming an error; anything else names no
    // state to change.
    if (!value.isDouble() || number != std::floor(number) || number <= 0 || number > 2147483647.0) {
        logger.warning() << "Daemon error without a valid code: ignored";
        return;
    }
    const int code = int(number);
    const qint64 now = LinkClock::monotonicMs();
    if (code == m_lastError && m_lastErrorAt >= 0 && now - m_lastErrorAt <= kErrorRepeatMs)
        return;
    m_lastError = code;
    m_lastErrorAt = now;
    logger.warning() << "Daemon error:" << code;
    emit daemonErrorOccurred(VpnProtocol::Errors(code));
}

QJsonObject LocalSocketController::activateMessage(const QJsonObject &config)
{
    const QJsonObject protocol =
        config.value(config.value(QLatin1String("protocol")).toString() + QLatin1String("_config_data")).toObject();
    const bool vless = protocol.contains(QLatin1String("vless"));
    const bool leakProtection = config.value(QLatin1String("dnsLeakProtection")).toBool(true);
    const QJsonValue hostName = protocol.value(QLatin1String("hostName"));

    QJsonObject message;
    message.insert(QStringLiteral("type"), QStringLiteral("activate"));
    if (vless)
        copyIfPresent(message, "vless", protocol, "vless");
    else
        copyIfPresent(message, "privateKey", protocol, "client_private_key");
    copyIfPresent(message, "deviceIpv4Address", protocol, "client_ip");
    message.insert(QStringLiteral("deviceIpv6Address"), QLatin1String(kIpv6Device));
    if (!vless)
        copyIfPresent(message, "serverPublicKey", protocol, "server_pub_key");
    copyIfPresent(message, "serverIpv4AddrIn", protocol, "hostName");
    copyIfPresent(message, "serverIpv4Gateway", protocol, "hostName");
    copyIfPresent(message, "serverPort", protocol, "port");
    copyIfPresent(message, "dnsServer", protocol, "dns");
    copyIfPresent(message, "dnsServers", protocol, "dns_list");
    copyIfPresent(message, "killswitch", config, "killswitch");
    message.insert(QStringLiteral("adBlock"), config.value(QLatin1String("adBlock")).toBool(false));
    copyIfPresent(message, "awg", protocol, "awg");
    copyIfPresent(message, "mtu", protocol, "mtu");
    message.insert(QStringLiteral("dnsLeakProtection"), leakProtection);

    const QJsonValue allowed = protocol.value(QLatin1String("allowed_ips"));
    if (allowed.isArray() && !leakProtection) {
        QJsonArray ipv4Only;
        for (const QJsonValue &range : allowed.toArray()) {
            if (!range.toString().contains(QLatin1Char(':')))
                ipv4Only.append(range);
        }
        message.insert(QStringLiteral("allowedIPAddressRanges"), ipv4Only);
    } else if (!allowed.isUndefined()) {
        message.insert(QStringLiteral("allowedIPAddressRanges"), allowed);
    }
    message.insert(QStringLiteral("excludedAddresses"), QJsonArray { hostName });
    return message;
}

QJsonObject LocalSocketController::apiFetchMessage(const QUrl &url, const QString &token)
{
    return QJsonObject {
        { QStringLiteral("type"), QStringLiteral("apiFetch") },
        { QStringLiteral("host"), url.host(QUrl::FullyDecoded) },
        { QStringLiteral("path"),
          url.path(QUrl::FullyEncoded) + QLatin1Char('?') + url.query(QUrl::FullyEncoded) },
        { QStringLiteral("token"), token },
    };
}

void LocalSocketController::request(QObject *parent, const QJsonObject &message, int timeoutMs, Reply callback)
{
    auto *socket = new QLocalSocket(parent);
    const QString type = message.value(QLatin1String("type")).toString();
    auto buffer = QSharedPointer<LineBuffer>::create(kMaxReplyBytes);
    auto done = QSharedPointer<bool>::create(false);
    auto timer = new QTimer(socket);
    timer->setSingleShot(true);

    const QPointer<QLocalSocket> guard(socket);
    // An owner being destroyed takes the socket with it, and the socket's last
    // signals would call back into the half-destroyed owner: no answer then.
    const QPointer<QObject> owner(parent);
    const bool owned = parent != nullptr;
    auto finish = [guard, done, callback, owner, owned](const QJsonObject &reply) {
        if (*done)
            return;
        *done = true;
        if (guard) {
            guard->disconnect();
            guard->abort();
            guard->deleteLater();
        }
        if (owned && !owner)
            return;
        if (callback)
            callback(reply);
    };

    QObject::connect(socket, &QLocalSocket::connected, socket, [socket, message, finish] {
        if (!PeerCheck::isInstalledService(socket)) {
            finish(QJsonObject());
            return;
        }
        socket->write(frame(message));
        socket->flush();
    });
    QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket, type, buffer, finish] {
        bool overflowed = false;
        const QByteArrayList lines = buffer->append(socket->readAll(), &overflowed);
        if (overflowed) {
            logger.warning() << "Invalid response from daemon, line too long: dropped";
            finish(QJsonObject());
            return;
        }
        for (const QByteArray &line : lines) {
            const QJsonDocument document = QJsonDocument::fromJson(line.trimmed());
            if (document.isObject() && document.object().value(QLatin1String("type")).toString() == type) {
                finish(document.object());
                return;
            }
        }
    });
    QObject::connect(socket, &QLocalSocket::errorOccurred, socket, [finish] { finish(QJsonObject()); });
    QObject::connect(socket, &QLocalSocket::disconnected, socket, [finish] { finish(QJsonObject()); });
    QObject::connect(timer, &QTimer::timeout, socket, [finish] { finish(QJsonObject()); });
    timer->start(timeoutMs);
    // Connect from the event loop, so the callback never runs inside this call.
    QTimer::singleShot(0, socket, [socket] { socket->connectToServer(ServiceNames::daemonSocket(), QIODevice::ReadWrite); });
}

void LocalSocketController::apiFetch(QObject *parent, const QUrl &url, const QString &token, FetchReply callback)
{
    request(parent, apiFetchMessage(url, token), kApiFetchTimeoutMs, [callback](const QJsonObject &reply) {
        if (!callback)
            return;
        if (reply.isEmpty()) {
            callback(0, QByteArray(), QByteArray());
            return;
        }
        const auto decoded = QByteArray::fromBase64Encoding(reply.value(QLatin1String("body")).toString().toLatin1(),
                                                            QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded) {
            logger.warning() << "apiFetch: the body from the service isn't Base64";
            callback(0, QByteArray(), QByteArray());
            return;
        }
        callback(reply.value(QLatin1String("status")).toInt(0), decoded.decoded,
                 reply.value(QLatin1String("retryAfter")).toString().toLatin1());
    });
}
