#include "SystemPortFinder.h"

#include <charconv>

namespace pelora {

std::uint8_t SystemPortFinder::InterfacePortNumber(const std::string& portName)
{
    // Cut at the first NUL, as a registry string may carry one.
    const std::string name = portName.substr(0, portName.find('\0'));
    if (name.size() <= 3) return 0;
    const char* first = name.data() + 3;
    const char* last = name.data() + name.size();
    unsigned number = 0;
    const auto [end, ec] = std::from_chars(first, last, number);
    if (ec != std::errc() || end != last || number < 1 || number > 255) return 0;
    return static_cast<std::uint8_t>(number);
}

std::string SystemPortFinder::OSVersionName(std::uint32_t platformId, std::uint32_t major, std::uint32_t minor)
{
    switch (platformId) {
    case 0:
    case 2: return "WindowsNT";
    case 1:
        if (major == 5) return "Windows2000";
        if (major < 4 || (major == 4 && minor == 0)) return "Windows95";
        return "Windows98";
    default: return {};
    }
}

RegistryRow SystemPortFinder::RegistryRowFor(const std::string& osVersion)
{
    if (osVersion == "Windows98") return {"Enum\\FTDIBUS\\VID_0403+PID_F460+20030001A\\0000", "PortName"};
    return {"Hardware\\DeviceMap\\SerialComm", "\\Device\\VCP0"};
}

}  // namespace pelora
