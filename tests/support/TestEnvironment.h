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
    // True in the AddressSanitizer build: some tools (libfaketime) cannot be
    // preloaded ahead of its runtime, so the tests that need them skip there.
    static constexpr bool underAddressSanitizer()
    {
#if defined(__SANITIZE_ADDRESS__)
        return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
        return true;
#else
        return false;
#endif
#else
        return false;
#endif
    }
};
