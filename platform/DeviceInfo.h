#pragma once

#include <QString>

// Who made this computer and what model it is, as the system firmware tells
// the operating system. Empty when the system does not say.
class DeviceInfo
{
public:
    static QString manufacturer();
    static QString model();
};
