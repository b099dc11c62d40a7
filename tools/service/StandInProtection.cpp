#include "tools/service/StandInProtection.h"

#include <QMutexLocker>

void StandInProtection::noteLocked(bool wasProtected, const QString &cause)
{
    const bool now = protectedLocked();
    if (now == wasProtected)
        return;
    m_timeline.append(QJsonObject { { QStringLiteral("seq"), ++m_seq },
                                    { QStringLiteral("protected"), now },
                                    { QStringLiteral("cause"), cause } });
}

void StandInProtection::setLockdown(bool on, const QString &cause)
{
    QMutexLocker lock(&m_mutex);
    const bool was = protectedLocked();
    m_lockdown = on;
    if (!on) {
        m_tunnelKillSwitch = false;
        m_openVpnKillSwitch = false;
    }
    noteLocked(was, cause);
}

void StandInProtection::setOpenVpnKillSwitch(bool on, const QString &cause)
{
    QMutexLocker lock(&m_mutex);
    const bool was = protectedLocked();
    m_openVpnKillSwitch = on;
    noteLocked(was, cause);
}

void StandInProtection::tunnelActivated(bool killSwitch)
{
    QMutexLocker lock(&m_mutex);
    const bool was = protectedLocked();
    m_tunnelKillSwitch = killSwitch;
    noteLocked(was, QStringLiteral("activate"));
}

void StandInProtection::tunnelGone(const QString &cause)
{
    QMutexLocker lock(&m_mutex);
    const bool was = protectedLocked();
    m_tunnelKillSwitch = false;
    noteLocked(was, cause);
}

void StandInProtection::crashed()
{
    QMutexLocker lock(&m_mutex);
    const bool was = protectedLocked();
    if (m_tunnelKillSwitch || m_openVpnKillSwitch)
        m_lockdown = true;
    m_tunnelKillSwitch = false;
    m_openVpnKillSwitch = false;
    noteLocked(was, QStringLiteral("crash"));
}

void StandInProtection::mark(const QString &name)
{
    QMutexLocker lock(&m_mutex);
    m_timeline.append(QJsonObject { { QStringLiteral("seq"), ++m_seq },
                                    { QStringLiteral("mark"), name },
                                    { QStringLiteral("protected"), protectedLocked() } });
}

void StandInProtection::clearTimeline()
{
    QMutexLocker lock(&m_mutex);
    m_timeline = QJsonArray();
}

bool StandInProtection::isProtected() const
{
    QMutexLocker lock(&m_mutex);
    return protectedLocked();
}

bool StandInProtection::lockdown() const
{
    QMutexLocker lock(&m_mutex);
    return m_lockdown;
}

QJsonObject StandInProtection::report() const
{
    QMutexLocker lock(&m_mutex);
    return QJsonObject { { QStringLiteral("protected"), protectedLocked() },
                         { QStringLiteral("lockdown"), m_lockdown },
                         { QStringLiteral("tunnelKillSwitch"), m_tunnelKillSwitch },
                         { QStringLiteral("openVpnKillSwitch"), m_openVpnKillSwitch },
                         { QStringLiteral("timeline"), m_timeline } };
}
