#include "SystemPortFinder.h"

#include <charconv>

#ifndef _WIN32
#include <QSerialPortInfo>
#endif

namespace pelora {

namespace {
constexpr std::uint16_t kCableVendor = 0x0403;
constexpr std::uint16_t kCableProduct = 0xF460;
}  // namespace

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

#ifndef _WIN32

// Linux and macOS name serial ports by device path and count them from 0
// (/dev/ttyUSB0), so the COM-number rule does not apply here: the cable's
// port is the one the system lists with the cable's USB identifiers.
std::optional<std::string> SystemPortFinder::FindInterfacePort()
{
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        if (info.hasVendorIdentifier() && info.hasProductIdentifier() &&
            info.vendorIdentifier() == kCableVendor && info.productIdentifier() == kCableProduct &&
            !info.systemLocation().isEmpty())
            return info.systemLocation().toStdString();
    }
    return std::nullopt;
}

#endif

}  // namespace pelora
