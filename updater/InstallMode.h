#pragma once

#include <QString>

// The elevated install mode ("--install-update PATH SHA256"), a process of
// its own started by the client before it quits for an update: it copies the
// downloaded installer into the admin-only update folder, checks the copy's
// checksum and signature there and starts exactly that copy with "/UPDATE".
// It shows nothing; each way it can end has an exit code and one log line.
class InstallMode
{
public:
    enum ExitCode {
        Started = 0,
        BadArguments = 2,
        UnsafeFolder = 3,
        UnusableInstaller = 4,
        CopyFailed = 5,
        ChecksumMismatch = 6,
        SignatureRefused = 7,
        NotStarted = 8,
    };

    static constexpr qint64 kMaxInstallerBytes = 536870912;

    static int run(int argc, char *argv[]);

    // "update.log" in the update folder.
    static QString logPath();
};
