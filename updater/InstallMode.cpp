#include "updater/InstallMode.h"

#include <cstdio>

int InstallMode::run(int argc, char *argv[])
{
    (void)argv;
    if (argc != 4)
        return BadArguments;
    // Verification and the protected copy are not built yet: refuse rather
    // than start anything unchecked.
    std::fprintf(stderr, "Kelvra install mode is not available in this build; nothing was started\n");
    return NotStarted;
}
