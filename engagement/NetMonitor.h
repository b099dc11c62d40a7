#pragma once

#include <QList>
#include <QObject>
#include <QTimer>

#include <functional>

#include "connection/NetworkIdentifier.h"

// Tells the rest of the client whether the computer has a usable network
// outside the tunnel. It looks every two seconds and believes a change only
// when two looks in a row agree, so one odd look never flips `online`; while
// a tunnel is being built or torn down (the interfaces come and go) it
// believes nothing.
class NetMonitor : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool online READ online NOTIFY onlineChanged)
public:
    explicit NetMonitor(QObject *parent = nullptr);

    static constexpr int kIntervalMs = 2000;

    bool online() const { return m_online; }
    // While this answers true (a tunnel is busy), changes are not reported.
    void setSuppress(std::function<bool()> suppress) { m_suppress = std::move(suppress); }

    // Whether these interfaces give a usable network: one that is up, not
    // loopback, not a tunnel by its name, with a routable address.
    static bool isOnline(const QList<NetworkIdentifier::Interface> &interfaces);

    // One look at the interfaces, as the timer takes it.
    void check();

signals:
    void onlineChanged(bool online);

private:
    void observe(bool online);

    QTimer m_timer;
    bool m_online = false;
    int m_differing = 0;
    std::function<bool()> m_suppress;
};
