#include "settings/CoalescedSend.h"

#include "ipc/LocalSocketController.h"

namespace {
int replyTimeoutMs = CoalescedSend::kReplyTimeoutMs;
} // namespace

CoalescedSend::CoalescedSend(Build build, Handle handle, QObject *parent)
    : QObject(parent), m_build(std::move(build)), m_handle(std::move(handle))
{
}

#ifdef KELVRA_TESTING
void CoalescedSend::setReplyTimeoutForTesting(int ms)
{
    replyTimeoutMs = ms > 0 ? ms : kReplyTimeoutMs;
}
#endif

void CoalescedSend::send()
{
    if (m_inFlight) {
        m_resendPending = true;
        return;
    }
    m_inFlight = true;
    const QJsonObject message = m_build();
    LocalSocketController::request(this, message, replyTimeoutMs,
                                   [this, message](const QJsonObject &reply) { onReply(message, reply); });
}

void CoalescedSend::onReply(const QJsonObject &sent, const QJsonObject &reply)
{
    m_inFlight = false;
    m_handle(sent, reply);
    if (m_resendPending) {
        m_resendPending = false;
        send();
    }
}

bool CoalescedSend::tunnelCameUp(VpnProtocol::ConnectionState state)
{
    const bool cameUp = state == VpnProtocol::Connected && m_lastState != VpnProtocol::Connected;
    m_lastState = state;
    return cameUp;
}
