// Port discovery on Windows: the cable's driver records the COM port name in
// the registry, in one of two places depending on the Windows family.
#include "SystemPortFinder.h"

#include <windows.h>

#include <string>
#include <variant>

namespace pelora {

namespace {

std::string GetOSVersion()
{
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);  // the 148-byte record
#pragma warning(suppress : 4996)
    if (!GetVersionExA(&info)) return {};
    switch (info.dwPlatformId) {
    case 0:
    case 2: return "WindowsNT";
    case 1:
        if (info.dwMajorVersion == 5) return "Windows2000";
        if (info.dwMajorVersion < 4 || (info.dwMajorVersion == 4 && info.dwMinorVersion == 0)) return "Windows95";
        return "Windows98";
    default: return {};
    }
}

using RegValue = std::variant<std::monostate, std::string, std::int32_t>;

LONG QueryRegValue(HKEY key, const char* name, RegValue& value)
{
    DWORD type = 0;
    DWORD size = 0;
    LONG result = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
    if (result != ERROR_SUCCESS) return result;
    if (type == REG_SZ) {
        std::string buffer(size, '\0');
        result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
        value = result == ERROR_SUCCESS ? buffer.substr(0, size) : std::string();
        return result;
    }
    if (type == REG_BINARY || type == REG_DWORD) {
        std::int32_t number = 0;
        DWORD numberSize = sizeof(number);
        result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&number), &numberSize);
        if (result == ERROR_SUCCESS) value = number;
        return result;
    }
    return -1;
}

}  // namespace

std::optional<std::string> SystemPortFinder::FindInterfacePort()
{
    const bool windows98 = GetOSVersion() == "Windows98";
    const char* subKey = windows98 ? "Enum\\FTDIBUS\\VID_0403+PID_F460+20030001A\\0000"
                                   : "Hardware\\DeviceMap\\SerialComm";
    const char* valueName = windows98 ? "PortName" : "\\Device\\VCP0";

    std::uint8_t number = 0;
    HKEY key = nullptr;
    // Read access is all a look-up needs; asking for more fails for every
    // user without administrator rights.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegValue value;
        if (QueryRegValue(key, valueName, value) == ERROR_SUCCESS)
            if (const auto* name = std::get_if<std::string>(&value)) number = InterfacePortNumber(*name);
        RegCloseKey(key);
    }
    if (number == 0) return std::nullopt;
    return "COM" + std::to_string(number);
}

}  // namespace pelora
