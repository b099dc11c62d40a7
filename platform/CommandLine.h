#pragma once

#include <QStringList>

// The program's own command line as the system hands it over, before any
// application object exists. On Windows it is split from the process's
// command line (argv's code page would lose characters of a path).
class CommandLine
{
public:
    // False when the command line cannot be split.
    static bool arguments(int argc, char *argv[], QStringList *items);
};
