#pragma once

#include <QHostAddress>
#include <QString>
#include <QTemporaryDir>

// Gives a test program a home of its own (settings, caches, logs, autostart
// entries), so tests never touch each other's state or the developer's.
// Call isolate() before the application object is created.
class TestEnvironment
{
public:
    static void isolate();
    static QString home();
    // Directory holding the built programs (kelvra, the stand-ins).
    static QString binDir();
    // True when the addresses the tests stand up on loopback exist: the test
    // command made a private network namespace. Tests that would otherwise
    // reach addresses off this machine skip without it.
    static bool inPrivateNetwork();
    // A loopback address of this test program's own, for a server that must
    // sit on a fixed port (a name server on 53) while other test programs
    // run theirs at the same time.
    static QHostAddress ownLoopbackAddress();
};
