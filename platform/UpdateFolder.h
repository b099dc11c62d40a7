#pragma once

#include <QString>

// Where the elevated install mode keeps its checked copies and its log, and
// where Kelvra Setup logs an update: a machine-wide folder that only the
// system and administrators may write ("Kelvra/update" under ProgramData on
// Windows, /var/lib/kelvra/update on Linux).
class UpdateFolder
{
public:
    // Native separators.
    static QString path();
};
