// Port discovery on Windows: the cable's driver records the COM port name in
// the registry, in one of two places depending on the Windows family.
#include "SystemPortFinder.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <variant>

namespace pelora {

namespace {

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

std::string SystemPortFinder::GetOSVersion()
{
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);  // the 148-byte record
#if defined(_MSC_VER)
#pragma warning(suppress : 4996)
#elif defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    const BOOL known = GetVersionExA(&info);
#if defined(__GNUC__) && !defined(_MSC_VER)
#pragma GCC diagnostic pop
#endif
    if (!known) return {};
    return OSVersionName(info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion);
}

std::optional<std::string> SystemPortFinder::FindInterfacePort()
{
    const RegistryRow row = RegistryRowFor(osVersion_ ? osVersion_() : GetOSVersion());
    std::uint8_t number = 0;
    HKEY key = nullptr;
    // Read access is all a look-up needs; asking for more fails for every
    // user without administrator rights.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, row.Key, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegValue value;
        if (QueryRegValue(key, row.ValueName, value) == ERROR_SUCCESS)
            if (const auto* name = std::get_if<std::string>(&value)) number = InterfacePortNumber(*name);
        RegCloseKey(key);
    }
    if (number == 0) return std::nullopt;
    return "COM" + std::to_string(number);
}

}  // namespace pelora
