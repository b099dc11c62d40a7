#pragma once

#include <QJsonObject>
#include <QObject>

#include <functional>

#include "vpn/VpnProtocol.h"

// One kind of message to the service, sent one at a time: a change while a
// send is out only marks another as owed, and the owed one is built when it
// leaves, so however many changes pile up, the service gets one more message
// with the state as it is then. Also tells when the tunnel has just come up,
// since the service applies these features per connection.
class CoalescedSend : public QObject
{
    Q_OBJECT
public:
    static constexpr int kReplyTimeoutMs = 5000;

    using Build = std::function<QJsonObject()>;
    // The message sent and the service's reply (empty: no answer in time).
    using Handle = std::function<void(const QJsonObject &sent, const QJsonObject &reply)>;

    CoalescedSend(Build build, Handle handle, QObject *parent = nullptr);

    void send();
    bool isInFlight() const { return m_inFlight; }

    // Remembers the tunnel's state; true when it has just become connected.
    bool tunnelCameUp(VpnProtocol::ConnectionState state);

#ifdef KELVRA_TESTING
    static void setReplyTimeoutForTesting(int ms);
#endif

private:
    void onReply(const QJsonObject &sent, const QJsonObject &reply);

    Build m_build;
    Handle m_handle;
    bool m_inFlight = false;
    bool m_resendPending = false;
    VpnProtocol::ConnectionState m_lastState = VpnProtocol::Disconnected;
};
