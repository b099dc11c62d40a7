#pragma once

#include <QObject>

#include <functional>

// Tells the rest of the client whether the computer has a usable network
// outside the tunnel. The watch itself is not built yet: it never reports a
// change, and `online` stays at its starting value (no evidence of being
// offline).
class NetMonitor : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool online READ online NOTIFY onlineChanged)
public:
    explicit NetMonitor(QObject *parent = nullptr);

    bool online() const { return m_online; }
    // While this answers true (a tunnel is busy), changes are not reported.
    void setSuppress(std::function<bool()> suppress) { m_suppress = std::move(suppress); }

signals:
    void onlineChanged(bool online);

private:
    bool m_online = true;
    std::function<bool()> m_suppress;
};
