#pragma once

#include <QString>

// One entry of a Smart Connect run: a route, how long its tunnel may take once
// the configuration is in, and, for a route found through the Cloudflare
// checks, the other server it runs on.
struct SmartAttempt
{
    QString route;
    int timeoutMs = 0;
    QString configId; // empty: the server the user chose
    int apiId = -1;

    bool operator==(const SmartAttempt &other) const
    {
        return route == other.route && timeoutMs == other.timeoutMs && configId == other.configId && apiId == other.apiId;
    }
};
