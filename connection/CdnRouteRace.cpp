#include "connection/CdnRouteRace.h"

#include "app/Logger.h"

#include <QDateTime>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QRandomGenerator>
#include <QSslSocket>
#include <QTimer>

namespace {
Logger logger(QStringLiteral("ConnectionController"));

constexpr quint16 kFrontPort = 443;
constexpr int kRedialTickMs = 1000;
// A socket that connected but hasn't finished TLS and the upgrade by then is
// taken to be stuck and dialled afresh.
constexpr int kStuckAfterMs = 3000;
// How long a candidate that answered first waits for the preferred one.
constexpr int kPreferredGraceMs = 1000;
constexpr qint64 kStatusLineBytes = 12;
// The answer that matters is the status line; a front that keeps sending
// must not fill memory while the race waits.
constexpr qint64 kReadBufferBytes = 4096;

const char kOver[] = "over";
const char kDialed[] = "dialed";
const char kFrontIndex[] = "frontIndex";

bool isOver(const QSslSocket *socket)
{
    return socket->property(kOver).toBool();
}
} // namespace

CdnRouteRace::CdnRouteRace(const QList<CdnFront> &fronts, const QString &preferred, int deadlineMs, QObject *parent)
    : QObject(parent), m_preferred(preferred), m_deadlineMs(deadlineMs)
{
    for (const CdnFront &front : fronts) {
        // An empty candidate could not be told from "none answered".
        if (!front.candidate.isEmpty() && usable(front.address, front.sni, front.path))
            m_fronts.append(front);
        else
            logger.warning() << "Smart Connect: Cloudflare route check of" << front.candidate
                             << ": no usable front; left out";
    }
}

CdnRouteRace::~CdnRouteRace() = default;

bool CdnRouteRace::usable(const QString &address, const QString &sni, const QString &path)
{
    QHostAddress parsed;
    return parsed.setAddress(address) && !sni.isEmpty() && path.startsWith(QLatin1Char('/'));
}

void CdnRouteRace::start()
{
    if (m_started)
        return;
    m_started = true;
    if (m_fronts.isEmpty()) {
        QMetaObject::invokeMethod(this, [this] { decide(QString()); }, Qt::QueuedConnection);
        return;
    }
    QTimer::singleShot(m_deadlineMs, Qt::PreciseTimer, this, [this] { decide(m_first); });
    for (int i = 0; i < m_fronts.size(); ++i) {
        auto *socket = new QSslSocket(this);
        socket->setProperty(kFrontIndex, i);
        socket->setProperty(kOver, false);
        socket->setProperty(kDialed, qint64(0));
        socket->setProxy(QNetworkProxy::NoProxy);
        socket->setReadBufferSize(kReadBufferBytes);
        connect(socket, &QSslSocket::encrypted, this, [this, socket] { sendUpgrade(socket); });
        connect(socket, &QSslSocket::readyRead, this, [this, socket] { readAnswer(socket); });
        connect(socket, &QSslSocket::errorOccurred, this, [this, socket] { onSocketError(socket); });
        auto *timer = new QTimer(socket);
        timer->setInterval(kRedialTickMs);
        connect(timer, &QTimer::timeout, this, [this, socket] { redial(socket); });
        m_sockets.append(socket);
        timer->start();
    }
    for (QSslSocket *socket : std::as_const(m_sockets))
        redial(socket);
}

const CdnFront &CdnRouteRace::frontOf(const QSslSocket *socket) const
{
    return m_fronts.at(socket->property(kFrontIndex).toInt());
}

void CdnRouteRace::redial(QSslSocket *socket)
{
    if (m_done || isOver(socket) || socket->isEncrypted())
        return;
    const qint64 age = QDateTime::currentMSecsSinceEpoch() - socket->property(kDialed).toLongLong();
    if (socket->state() == QAbstractSocket::ConnectedState && age < kStuckAfterMs)
        return;
    socket->abort();
    dial(socket);
}

void CdnRouteRace::dial(QSslSocket *socket)
{
    const CdnFront &front = frontOf(socket);
    socket->setProperty(kDialed, QDateTime::currentMSecsSinceEpoch());
    socket->connectToHostEncrypted(front.address, kFrontPort, front.sni, QIODevice::ReadWrite,
                                   QAbstractSocket::AnyIPProtocol);
}

void CdnRouteRace::sendUpgrade(QSslSocket *socket)
{
    const CdnFront &front = frontOf(socket);
    quint32 random[4];
    QRandomGenerator::global()->fillRange(random);
    const QByteArray key = QByteArray(reinterpret_cast<const char *>(random), sizeof(random)).toBase64();
    socket->write("GET " + front.path.toUtf8() + " HTTP/1.1\r\nHost: " + front.sni.toUtf8()
                  + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key
                  + "\r\nSec-WebSocket-Version: 13\r\n\r\n");
}

void CdnRouteRace::readAnswer(QSslSocket *socket)
{
    if (isOver(socket) || socket->bytesAvailable() < kStatusLineBytes)
        return;
    const QByteArray status = socket->read(kStatusLineBytes);
    if (status.startsWith("HTTP/1.1 101")) {
        socket->setProperty(kOver, true);
        answered(frontOf(socket).candidate);
    } else {
        socket->abort();
        failed(socket);
    }
}

void CdnRouteRace::onSocketError(QSslSocket *socket)
{
    logger.debug() << "Smart Connect: Cloudflare route check of" << frontOf(socket).candidate << ":"
                   << socket->errorString();
    // Refused, unreachable or timed out is left to the next dial; a front that
    // fails TLS will not get better by asking again.
    if (socket->error() == QAbstractSocket::SslHandshakeFailedError)
        failed(socket);
}

void CdnRouteRace::answered(const QString &candidate)
{
    if (candidate == m_preferred || m_chosenLost) {
        decide(candidate);
        return;
    }
    if (!m_first.isEmpty())
        return;
    m_first = candidate;
    QTimer::singleShot(kPreferredGraceMs, Qt::PreciseTimer, this, [this, candidate] { decide(candidate); });
}

void CdnRouteRace::failed(QSslSocket *socket)
{
    if (isOver(socket))
        return;
    socket->setProperty(kOver, true);
    const bool preferred = frontOf(socket).candidate == m_preferred;
    if (preferred)
        m_chosenLost = true;
    ++m_failed;
    if (m_failed < m_fronts.size()) {
        if (preferred && !m_first.isEmpty())
            decide(m_first);
        return;
    }
    decide(m_first);
}

void CdnRouteRace::decide(const QString &winner)
{
    if (m_done)
        return;
    m_done = true;
    deleteLater();
    logger.info() << "Smart Connect: Cloudflare route check:"
                  << (winner.isEmpty() ? QStringLiteral("none answered") : winner);
    emit decided(winner);
}
