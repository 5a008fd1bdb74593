#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace pelora {

// The serial line to the dive computer's interface cable. The real
// implementation wraps QSerialPort; tests use the emulator's virtual port.
class SerialPort {
public:
    // Called with every chunk of received bytes, in arrival order, once.
    using DataHandler = std::function<void(std::span<const std::uint8_t>)>;

    virtual ~SerialPort() = default;

    // A port name as the system spells it: "COM3" on Windows, a device path
    // such as "/dev/ttyUSB0" or "/dev/pts/4" elsewhere.
    virtual void SetPortName(const std::string& name) = 0;
    virtual void SetBaudRate(int baud) = 0;
    // Opens the port with 8N1, no flow control, DTR and RTS asserted.
    // On failure returns false and leaves a readable reason in *error.
    virtual bool Open(std::string* error) = 0;
    virtual bool IsOpen() const = 0;
    virtual void Close() = 0;
    virtual void ClearInput() = 0;
    virtual void ClearOutput() = 0;
    // Queues the bytes for sending and returns at once. False when the port
    // refuses the write (closed, or gone with the cable).
    virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
    virtual void SetDataReceived(DataHandler handler) = 0;
    // What became of the request for low latency when the port was last
    // opened, for the record; empty where nothing was asked.
    virtual std::string LatencyNote() const { return {}; }
};

}  // namespace pelora
