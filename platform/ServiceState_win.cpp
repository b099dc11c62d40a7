#include "platform/ServiceState.h"

#include <windows.h>

bool ServiceState::isRunning(const QString &serviceName)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager)
        return false;
    bool running = false;
    SC_HANDLE service = OpenServiceW(manager, reinterpret_cast<LPCWSTR>(serviceName.utf16()), SERVICE_QUERY_STATUS);
    if (service) {
        SERVICE_STATUS status {};
        running = QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return running;
}
