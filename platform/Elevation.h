#pragma once

#include <QString>

#include <functional>

class QObject;

// Starting a program with administrator rights after the system's own
// prompt: "runas" on Windows, pkexec (polkit) on Linux. A declined prompt is
// an outcome of its own, never an error to retry at once.
class Elevation
{
public:
    // The client's hand-over: this program again, elevated, in install mode
    // with the installer's path and checksum. `done(started)` is called once,
    // on the calling thread, through `context`'s event loop. Windows does not
    // wait for the elevated process; Linux learns from pkexec whether the
    // install mode got the installer going.
    static void startInstallMode(const QString &program, const QString &installerPath, const QString &sha256,
                                 QObject *context, std::function<void(bool started)> done);

    struct Outcome
    {
        bool declined = false;   // the prompt was closed or refused
        bool started = false;    // a process ran (its exit code is below)
        int exitCode = 1;
        unsigned systemError = 0; // why it did not start, when it did not
    };
    // Kelvra Setup's run of the package installer, silently, into installDir:
    // blocks until the installer ends, so worker threads only. `running` is
    // called once the installer process exists.
    static Outcome runInstaller(const QString &package, const QString &installDir, quintptr ownerWindow,
                                const std::function<void()> &running);

#ifdef KELVRA_TESTING
    // Linux: the command put in front of the elevated program instead of
    // pkexec. Also read from "KELVRA_TEST_ELEVATE".
    static void setCommandForTesting(const QString &command);
#endif
};
