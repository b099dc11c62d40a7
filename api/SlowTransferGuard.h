#pragma once

class QNetworkReply;

// Gives up an answer that trickles in. A transfer time-out only notices a
// connection that goes quiet; a host (or something between) that sends a few
// bytes now and then never goes quiet, and would keep a request open for
// hours. Like curl's low-speed limit, this ends a reply that brings fewer
// than kMinBytes of body in each of two windows in a row, a window being the
// request's transfer time-out. A real transfer, however slow the link, moves
// far more than that.
class SlowTransferGuard
{
public:
    static constexpr int kMinBytes = 1024;
    static constexpr int kSlowWindows = 2;

    // Watches the reply until it finishes; `windowMs` of 0 or less watches nothing.
    static void watch(QNetworkReply *reply, int windowMs);
};
