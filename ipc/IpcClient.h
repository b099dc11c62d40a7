#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QTimer>
#include <QWeakPointer>

#include "ipc/PrivilegedProcess.h"
#include "rep_ipc_interface_replica.h"

class QLocalSocket;
class QRemoteObjectNode;

// The client's remote-object link to the Kelvra service (names in
// ipc/ServiceNames.h). It reconnects by itself every 2 s when the service goes
// away, and the process-wide client tells when the link was lost and when it
// is back. Every socket's far end is checked to be the installed service
// before the node may use it.
class IpcClient : public QObject
{
    Q_OBJECT
public:
    explicit IpcClient(QObject *parent = nullptr);
    ~IpcClient() override;

    // Makes this the process-wide client and connects, waiting up to 30 s;
    // true when the service interface is there.
    bool init();
    bool isConnected() const { return m_socketConnected; }

    static IpcClient *Instance();
    // Null while the link is down.
    static QSharedPointer<IpcInterfaceReplica> Interface();
    static QSharedPointer<PrivilegedProcess> acquirePrivilegedProcess();
#ifdef KELVRA_TESTING
    // Tests that restart the service many times need not wait 2 s each time.
    static void setReconnectDelayForTesting(int ms);
#endif

signals:
    void linkRestored();
    void linkLost();

private:
    struct ProcessDescriptor
    {
        // The caller owns the process; the node lives as long as it does.
        QWeakPointer<PrivilegedProcess> process;
        QSharedPointer<QRemoteObjectNode> node;
        QPointer<QLocalSocket> socket; // a child of the node
    };

    void connectToService();
    void onConnected(QLocalSocket *socket);
    void onDisconnected(QLocalSocket *socket);
    void scheduleReconnect(QLocalSocket *socket);
    QSharedPointer<PrivilegedProcess> createProcess();

    QRemoteObjectNode *m_node = nullptr;
    QSharedPointer<IpcInterfaceReplica> m_interface;
    QPointer<QLocalSocket> m_socket;
    QHash<int, QSharedPointer<ProcessDescriptor>> m_processes;
    QTimer m_reconnectTimer;
    bool m_socketConnected = false;
    bool m_reconnectScheduled = false;
    bool m_linkedBefore = false;
    bool m_connectHandled = false;

    static QPointer<IpcClient> s_instance;
};
