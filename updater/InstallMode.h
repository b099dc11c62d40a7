#pragma once

// The elevated install mode ("--install-update PATH SHA256"): copies the
// downloaded installer to a protected folder, checks it and starts it.
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

    static int run(int argc, char *argv[]);
};
