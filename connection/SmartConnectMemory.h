#pragma once

#include <QString>

#include <functional>

// What Smart Connect remembers per network for a day: the route that last
// connected, and the server whose Cloudflare front got out of a restricted
// network. An empty network identifier remembers and recalls nothing.
class SmartConnectMemory
{
public:
    static constexpr qint64 kLifetimeMs = 86400000;

    static QString workedRoute(const QString &network);
    static void rememberWorked(const QString &network, const QString &route);
    // The API id, as text, of the server that got out; empty for none.
    static QString restrictedServer(const QString &network);
    // The "since" time is kept while it is fresh: a day counts from the
    // first detection.
    static void rememberRestricted(const QString &network, int apiId);
    static void forgetRestricted(const QString &network);

#ifdef KELVRA_TESTING
    static void setClockForTesting(std::function<qint64()> clock);
#endif
};
