#pragma once

#include <QString>

// The name (SSID) of the Wi-Fi the computer is connected to. Trusted networks
// are Wi-Fi names: auto-connect stays off on them, and the settings page adds
// the current one to the list.
class WifiName
{
public:
    struct Reading {
        QString name;       // empty when not on Wi-Fi or the name is hidden from us
        bool refused = false;  // the system withheld the name (Windows location privacy)
    };

    static Reading read();
    static QString current() { return read().name; }

#ifdef KELVRA_TESTING
    // Answers every read with this name (an empty one means "not on Wi-Fi")
    // until cleared; the machine running the tests has no Wi-Fi of its own.
    static void setForTesting(const QString &name);
    // The same with the system's refusal to tell the name.
    static void setRefusedForTesting();
    static void clearForTesting();
#endif

private:
    static Reading readSystem();
};
