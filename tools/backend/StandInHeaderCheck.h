#pragma once

#include "StandInRequest.h"

#include <QString>
#include <QStringList>

// The headers the client puts on its API requests, checked on each one: a
// client that stops sending one is refused at once instead of working by
// chance against a lenient stand-in and failing against the real backend.
// Every API request asks for JSON ("Accept"); the requests the client's
// request object sends also say which client they come from ("X-App-Version",
// "X-Platform") and what their body is ("Content-Type").
class StandInHeaderCheck
{
public:
    // The names of the headers `request` (for API route `route`) lacks or
    // carries with a wrong value, in a fixed order; empty when all is well.
    static QStringList faults(const StandInRequest &request, const QString &route);
};
