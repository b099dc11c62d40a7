#pragma once

#include <QString>

// Whether the Kelvra service runs, as Kelvra Setup waits for it after an
// install: the service control manager's state on Windows; on Linux, whether
// the service answers on its daemon socket.
class ServiceState
{
public:
    static bool isRunning(const QString &serviceName);
};
