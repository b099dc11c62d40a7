#pragma once

#include <QSharedPointer>

#include "rep_ipc_process_interface_replica.h"

class QRemoteObjectNode;

// A process the Kelvra service runs for the client (an IpcProcessInterface
// replica). Made by IpcClient::acquirePrivilegedProcess().
class PrivilegedProcess : public IpcProcessInterfaceReplica
{
public:
    PrivilegedProcess();
    ~PrivilegedProcess() override;

    // The node the replica was acquired from; it is let go (later) only after
    // the replica itself is gone.
    void keepNode(QSharedPointer<QRemoteObjectNode> node) { m_node = std::move(node); }

private:
    QSharedPointer<QRemoteObjectNode> m_node;
};
