// Port discovery on Linux and macOS. They name serial ports by device path
// and count them from 0 (/dev/ttyUSB0), so the COM-number rule does not apply
// here: the cable's port is the one the system lists with the cable's USB
// identifiers.
#include "SystemPortFinder.h"

#include <QSerialPortInfo>

namespace pelora {

namespace {
constexpr std::uint16_t kCableVendor = 0x0403;
constexpr std::uint16_t kCableProduct = 0xF460;
}  // namespace

std::string SystemPortFinder::GetOSVersion() { return {}; }

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

}  // namespace pelora
