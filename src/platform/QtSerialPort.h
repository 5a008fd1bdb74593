#pragma once

#include "platform/SerialPort.h"

#include <QSerialPort>

namespace pelora {

// SerialPort over QSerialPort: a COM port on Windows, a device path (also a
// pseudo-terminal) elsewhere. Lives on the thread whose event loop runs.
class QtSerialPort : public SerialPort {
public:
    QtSerialPort();
    ~QtSerialPort() override;
    QtSerialPort(const QtSerialPort&) = delete;
    QtSerialPort& operator=(const QtSerialPort&) = delete;

    void SetPortName(const std::string& name) override;
    void SetBaudRate(int baud) override;
    bool Open(std::string* error) override;
    bool IsOpen() const override;
    void Close() override;
    void ClearInput() override;
    void ClearOutput() override;
    bool Write(std::span<const std::uint8_t> bytes) override;
    void SetDataReceived(DataHandler handler) override;
    std::string LatencyNote() const override { return latencyNote_; }

private:
    void DeliverReceivedBytes();
    void OnError(QSerialPort::SerialPortError error);

    QSerialPort port_;
    DataHandler handler_;
    int baud_ = 38400;
    // The device went away (cable pulled): refuse writes until reopened.
    bool gone_ = false;
    std::string latencyNote_;
};

}  // namespace pelora
