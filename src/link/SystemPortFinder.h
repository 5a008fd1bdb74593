#pragma once

#include "link/PortFinder.h"

#include <cstdint>
#include <string>

namespace pelora {

// The cable as the system knows it: on Windows through the registry entries
// its driver writes, elsewhere by its USB vendor 0x0403 and product 0xF460.
class SystemPortFinder : public PortFinder {
public:
    std::optional<std::string> FindInterfacePort() override;

    // The number N of a port name "COMN" (any three-letter prefix), or 0 when
    // the rest is not a number 1..255.
    static std::uint8_t InterfacePortNumber(const std::string& portName);
};

}  // namespace pelora
