#include "ipc/IpcClient.h"

#include <QEventLoop>
#include <QLocalSocket>
#include <QRemoteObjectNode>
#include <QTimer>

#include "app/Logger.h"
#include "ipc/ServiceNames.h"
#include "platform/PeerCheck.h"

namespace {
Logger logger(QStringLiteral("IpcClient"));

constexpr int kSocketWaitMs = 30000;
constexpr int kInterfaceWaitMs = 5000;
constexpr int kProcessNumberWaitMs = 5000;
constexpr int kProcessSourceWaitMs = 1000;
constexpr int kReconnectDelayMs = 2000;

int &reconnectDelayMs()
{
    static int value = kReconnectDelayMs;
    return value;
}

// Runs the event loop until `done` holds, the socket gives up, or `ms` pass.
void waitForSocket(QLocalSocket *socket, int ms, const std::function<bool()> &done)
{
    if (done() || !socket)
        return;
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    // Queued: the socket's own handlers must have run before the check.
    QObject::connect(socket, &QLocalSocket::connected, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    QObject::connect(socket, &QLocalSocket::disconnected, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    QObject::connect(socket, &QLocalSocket::errorOccurred, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    QObject::connect(socket, &QObject::destroyed, &loop, &QEventLoop::quit);
    timeout.start(ms);
    loop.exec();
}
} // namespace

QPointer<IpcClient> IpcClient::s_instance;

IpcClient::IpcClient(QObject *parent) : QObject(parent)
{
    logger.info() << "IpcClient created.";
    m_reconnectTimer.setSingleShot(true);
    m_reconnectTimer.setInterval(reconnectDelayMs());
    connect(&m_reconnectTimer, &QTimer::timeout, this, &IpcClient::connectToService);
}

IpcClient::~IpcClient()
{
    // Replicas first: the node they were acquired from must outlive them.
    m_interface.reset();
    m_processes.clear();
    delete m_node;
}

#ifdef KELVRA_TESTING
void IpcClient::setReconnectDelayForTesting(int ms)
{
    reconnectDelayMs() = ms;
}
#endif

IpcClient *IpcClient::Instance()
{
    return s_instance.data();
}

QSharedPointer<IpcInterfaceReplica> IpcClient::Interface()
{
    return s_instance ? s_instance->m_interface : QSharedPointer<IpcInterfaceReplica>();
}

bool IpcClient::init()
{
    s_instance = this;
    connectToService();
    const QPointer<QLocalSocket> socket = m_socket;
    waitForSocket(socket, kSocketWaitMs, [this, socket] {
        return m_connectHandled || !socket || socket != m_socket
            || socket->state() == QLocalSocket::UnconnectedState;
    });
    if (!m_interface) {
        logger.warning() << "IPC Client - init failed";
        return false;
    }
    return m_interface->isReplicaValid();
}

void IpcClient::connectToService()
{
    // A connection made now (init() called again) replaces a pending retry,
    // which would otherwise tear the new link down when it fires.
    m_reconnectTimer.stop();
    m_reconnectScheduled = false;
    m_connectHandled = false;
    if (m_socket)
        m_socket->deleteLater();

    auto *socket = new QLocalSocket(this);
    m_socket = socket;
    connect(socket, &QLocalSocket::connected, this, [this, socket] { onConnected(socket); });
    connect(socket, &QLocalSocket::disconnected, this, [this, socket] { onDisconnected(socket); });
    connect(socket, &QLocalSocket::errorOccurred, this, [this, socket] { scheduleReconnect(socket); });
    socket->connectToServer(ServiceNames::localServerName(ServiceNames::ipcUrl()), QIODevice::ReadWrite);
}

void IpcClient::onConnected(QLocalSocket *socket)
{
    if (socket != m_socket)
        return;
    if (!PeerCheck::isInstalledService(socket)) {
        // Never handed to the node, so nothing is ever written to it.
        socket->abort();
        return;
    }
    socket->setProperty("kelvraVerified", true);

    m_socketConnected = true;
    m_interface.reset();
    delete m_node;
    m_node = new QRemoteObjectNode(this);
    m_node->addClientSideConnection(socket);
    m_interface.reset(m_node->acquire<IpcInterfaceReplica>());
    m_interface->waitForSource(kInterfaceWaitMs);

    if (m_interface->isReplicaValid()) {
        if (s_instance == this && m_linkedBefore) {
            logger.info() << "The service link is back: turning its log on again";
            m_interface->setLogsEnabled(true);
            emit linkRestored();
        }
    } else {
        logger.warning() << "IPC Client replica is not connected!";
    }
    m_linkedBefore = true;
    m_connectHandled = true;
}

void IpcClient::onDisconnected(QLocalSocket *socket)
{
    // A socket that never passed the check was never a link: it is retried,
    // but nothing was lost.
    const bool wasLink = socket->property("kelvraVerified").toBool();
    if (wasLink) {
        logger.info() << "The service link dropped: reconnecting";
        // The node is never told that a local socket closed, so the old
        // replica would go on claiming to be valid: let it go, so nobody
        // calls into a link that is gone.
        if (socket == m_socket)
            m_interface.reset();
    }
    scheduleReconnect(socket);
    if (wasLink && socket == m_socket && s_instance == this)
        emit linkLost();
}

void IpcClient::scheduleReconnect(QLocalSocket *socket)
{
    if (socket != m_socket)
        return;
    m_socketConnected = false;
    if (m_reconnectScheduled)
        return;
    m_reconnectScheduled = true;
    m_reconnectTimer.start();
}

QSharedPointer<PrivilegedProcess> IpcClient::acquirePrivilegedProcess()
{
    if (!s_instance || !s_instance->m_interface || !s_instance->m_interface->isReplicaValid()) {
        logger.warning() << "IPC Client - replica is not valid";
        return {};
    }
    return s_instance->createProcess();
}

QSharedPointer<PrivilegedProcess> IpcClient::createProcess()
{
    QRemoteObjectPendingReply<int> reply = m_interface->createPrivilegedProcess();
    reply.waitForFinished(kProcessNumberWaitMs);
    const int number = reply.isFinished() && !reply.error() ? reply.returnValue() : 0;

    auto descriptor = QSharedPointer<ProcessDescriptor>::create();
    descriptor->node = QSharedPointer<QRemoteObjectNode>(new QRemoteObjectNode, &QObject::deleteLater);
    m_processes.insert(number, descriptor);
    auto *socket = new QLocalSocket(descriptor->node.data());
    descriptor->socket = socket;

    QSharedPointer<PrivilegedProcess> process;
    bool handled = false;
    QWeakPointer<ProcessDescriptor> weakDescriptor = descriptor;
    connect(socket, &QLocalSocket::connected, this, [this, socket, weakDescriptor, number, &process, &handled] {
        const QSharedPointer<ProcessDescriptor> d = weakDescriptor.toStrongRef();
        handled = true;
        if (!d)
            return;
        if (!PeerCheck::isInstalledService(socket)) {
            socket->abort();
            return;
        }
        d->node->addClientSideConnection(socket);
        auto *replica = new PrivilegedProcess;
        replica->keepNode(d->node);
        replica->setNode(d->node.data());
        process = QSharedPointer<PrivilegedProcess>(replica, &QObject::deleteLater);
        d->process = process;
        // The process's node and its entry go once the last holder let go.
        connect(replica, &QObject::destroyed, this, [this, weakDescriptor, number] {
            const auto it = m_processes.constFind(number);
            if (it != m_processes.constEnd() && it.value() == weakDescriptor.toStrongRef())
                m_processes.erase(it);
        });
        if (!replica->waitForSource(kProcessSourceWaitMs))
            logger.warning() << "PrivilegedProcess replica is not connected!";
    });

    socket->connectToServer(ServiceNames::localServerName(ServiceNames::processUrl(number)), QIODevice::ReadWrite);
    const QPointer<QLocalSocket> guard = socket;
    waitForSocket(socket, kSocketWaitMs, [&handled, guard] {
        return handled || !guard || guard->state() == QLocalSocket::UnconnectedState;
    });
    if (guard)
        disconnect(guard, &QLocalSocket::connected, this, nullptr);
    if (!process)
        logger.warning() << "Acquire PrivilegedProcess failed";
    return process;
}
