#pragma once

#include <QString>
#include <QStringList>

// The network outside the tunnels, as far as a client can probe it directly:
// in the test network every server address lives on lo, and a client pings
// its server there to tell a dead tunnel from a dead network. Taking an
// address off lo leaves no route to it at all, so the ping fails at once, as
// it would with the network down; putting it back makes it answer again.
//
// It only ever acts inside the private network namespace of scripts/netns.sh
// (which sets KELVRA_IN_NETNS=1), only on lo, never on a loopback (127/8)
// address, and only puts back what it took off. Whatever is still off when
// it goes is put back then.
class StandInOutside
{
public:
    StandInOutside() = default;
    ~StandInOutside();
    StandInOutside(const StandInOutside &) = delete;
    StandInOutside &operator=(const StandInOutside &) = delete;

    // Takes the addresses off lo (reachable false) or puts back those this
    // object took off (true). False, with the reason in `error`, when any
    // address can't be changed; the others are still changed.
    bool setReachable(const QStringList &addresses, bool reachable, QString *error = nullptr);
    QStringList unreachable() const { return m_taken; }

    static bool inTestNetwork();

private:
    static bool runIp(const QStringList &arguments, QString *error);

    QStringList m_taken;
};
