#pragma once

#include <QString>

// How one attempt of a Smart Connect run ended, for the protocol reports.
struct AttemptOutcome
{
    QString route;
    int apiId = -1;
    bool success = false;
    double seconds = 0;
    QString reason; // "handshake", "timeout", "other"; empty on success
    qint64 atMs = 0;
    QString network;
};
