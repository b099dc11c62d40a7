#pragma once

#include <QString>

// Names of machine-wide channels that must belong to one user's session.
// Windows keeps named pipes in one namespace for every session on the
// machine: a plain name would let the first signed-in user's client take the
// channel from everyone else's. Linux local sockets are already the user's
// own, so the name is left as it is there.
class SessionName
{
public:
    // `base`, with the session and the user added where the platform needs it.
    static QString scoped(const QString &base);
};
