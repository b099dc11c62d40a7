#include "platform/WifiName.h"

#include <windows.h>
#include <wlanapi.h>

WifiName::Reading WifiName::readSystem()
{
    Reading reading;
    HANDLE client = nullptr;
    DWORD negotiated = 0;
    if (WlanOpenHandle(2, nullptr, &negotiated, &client) != ERROR_SUCCESS)
        return reading;

    PWLAN_INTERFACE_INFO_LIST interfaces = nullptr;
    if (WlanEnumInterfaces(client, nullptr, &interfaces) == ERROR_SUCCESS && interfaces) {
        for (DWORD i = 0; i < interfaces->dwNumberOfItems && reading.name.isEmpty(); ++i) {
            const WLAN_INTERFACE_INFO &info = interfaces->InterfaceInfo[i];
            if (info.isState != wlan_interface_state_connected)
                continue;
            DWORD size = 0;
            PWLAN_CONNECTION_ATTRIBUTES attributes = nullptr;
            WLAN_OPCODE_VALUE_TYPE type = wlan_opcode_value_type_invalid;
            const DWORD result = WlanQueryInterface(client, &info.InterfaceGuid, wlan_intf_opcode_current_connection,
                                                    nullptr, &size, reinterpret_cast<PVOID *>(&attributes), &type);
            // Windows 11 hides the name from desktop apps without location access.
            if (result == ERROR_ACCESS_DENIED) {
                reading.refused = true;
                continue;
            }
            if (result != ERROR_SUCCESS || !attributes)
                continue;
            const DOT11_SSID &ssid = attributes->wlanAssociationAttributes.dot11Ssid;
            const ULONG length = ssid.uSSIDLength < DOT11_SSID_MAX_LENGTH ? ssid.uSSIDLength : DOT11_SSID_MAX_LENGTH;
            const QString name = QString::fromUtf8(reinterpret_cast<const char *>(ssid.ucSSID), int(length));
            WlanFreeMemory(attributes);
            if (!name.isEmpty()) {
                reading.name = name;
                reading.refused = false;
            }
        }
    }
    if (interfaces)
        WlanFreeMemory(interfaces);
    WlanCloseHandle(client, nullptr);
    return reading;
}
