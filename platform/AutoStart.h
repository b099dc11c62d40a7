#pragma once

#include <QString>

// Starting the client when the user logs in: the "Run" registry value on
// Windows, an XDG autostart entry elsewhere. The entry starts the client with
// "--autostart".
class AutoStart
{
public:
    static bool isEnabled();
    static void setEnabled(bool enabled);
    // Where the entry lives, for the logs and the tests.
    static QString location();
};
