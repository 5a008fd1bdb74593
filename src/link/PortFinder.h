#pragma once

#include <optional>
#include <string>

namespace pelora {

// Finds the serial port of the dive computer's interface cable.
class PortFinder {
public:
    virtual ~PortFinder() = default;
    // The port's name as SerialPort::SetPortName takes it ("COM3",
    // "/dev/ttyUSB0"), or nothing when no cable is plugged in.
    virtual std::optional<std::string> FindInterfacePort() = 0;
};

}  // namespace pelora
