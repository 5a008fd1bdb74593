#pragma once

#include "link/PortFinder.h"

#include <cstdint>
#include <functional>
#include <string>

namespace pelora {

// Where the cable's driver records the port name on Windows.
struct RegistryRow {
    const char* Key;        // under HKEY_LOCAL_MACHINE
    const char* ValueName;
};

// The cable as the system knows it: on Windows through the registry entries
// its driver writes, elsewhere by its USB vendor 0x0403 and product 0xF460.
class SystemPortFinder : public PortFinder {
public:
    // The Windows family, as GetOSVersion names it; tests pass their own.
    using OSVersionQuery = std::function<std::string()>;

    explicit SystemPortFinder(OSVersionQuery osVersion = GetOSVersion) : osVersion_(std::move(osVersion)) {}

    std::optional<std::string> FindInterfacePort() override;

    // The number N of a port name "COMN" (any three-letter prefix), or 0 when
    // the rest is not a number 1..255.
    static std::uint8_t InterfacePortNumber(const std::string& portName);

    // The Windows family: "Windows95", "Windows98", "WindowsNT",
    // "Windows2000" or "" (asked of the system on Windows; "" elsewhere).
    static std::string GetOSVersion();
    // The family for a version record's platform id, major and minor version.
    static std::string OSVersionName(std::uint32_t platformId, std::uint32_t major, std::uint32_t minor);
    // Only a system that calls itself Windows98 keeps the port under the
    // cable's own key; every other one lists it in the serial-port map.
    static RegistryRow RegistryRowFor(const std::string& osVersion);

private:
    OSVersionQuery osVersion_;
};

}  // namespace pelora
