#include "platform/QtSerialPort.h"

#include "platform/LowLatency.h"

#include <QMetaObject>

namespace pelora {

namespace {

const char* ErrorKind(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::NoError: return "no error";
    case QSerialPort::DeviceNotFoundError: return "device not found";
    case QSerialPort::PermissionError: return "permission denied or device busy";
    case QSerialPort::OpenError: return "already open";
    case QSerialPort::NotOpenError: return "not open";
    case QSerialPort::WriteError: return "write error";
    case QSerialPort::ReadError: return "read error";
    case QSerialPort::ResourceError: return "device removed";
    case QSerialPort::UnsupportedOperationError: return "unsupported operation";
    case QSerialPort::TimeoutError: return "time-out";
    case QSerialPort::UnknownError: break;
    }
    return "unknown error";
}

}  // namespace

QtSerialPort::QtSerialPort()
{
    QObject::connect(&port_, &QSerialPort::readyRead, &port_, [this] { DeliverReceivedBytes(); });
    QObject::connect(&port_, &QSerialPort::errorOccurred, &port_,
                     [this](QSerialPort::SerialPortError error) { OnError(error); });
}

QtSerialPort::~QtSerialPort()
{
    port_.disconnect();
    if (port_.isOpen()) port_.close();
}

void QtSerialPort::SetPortName(const std::string& name) { port_.setPortName(QString::fromStdString(name)); }

void QtSerialPort::SetBaudRate(int baud)
{
    baud_ = baud;
    if (port_.isOpen()) port_.setBaudRate(baud);
}

bool QtSerialPort::Open(std::string* error)
{
    if (port_.isOpen()) port_.close();
    gone_ = false;
    port_.setBaudRate(baud_);
    port_.setDataBits(QSerialPort::Data8);
    port_.setParity(QSerialPort::NoParity);
    port_.setStopBits(QSerialPort::OneStop);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    if (!port_.open(QIODevice::ReadWrite)) {
        if (error)
            *error = port_.errorString().toStdString() + " (" + ErrorKind(port_.error()) + ")";
        return false;
    }
    // A pseudo-terminal has no modem lines and reports an unsupported
    // operation here; a real cable needs both asserted.
    port_.setDataTerminalReady(true);
    port_.setRequestToSend(true);
    port_.clearError();
    port_.clear(QSerialPort::Input);
    port_.clear(QSerialPort::Output);
#ifdef __linux__
    latencyNote_ = RequestLowLatency(port_.handle());
#elif defined(_WIN32)
    latencyNote_ = ReadLatencyTimer(port_.portName().toStdString());
#endif
    return true;
}

bool QtSerialPort::IsOpen() const { return port_.isOpen() && !gone_; }

void QtSerialPort::Close()
{
    if (port_.isOpen()) port_.close();
}

void QtSerialPort::ClearInput()
{
    if (IsOpen()) port_.clear(QSerialPort::Input);
}

void QtSerialPort::ClearOutput()
{
    if (IsOpen()) port_.clear(QSerialPort::Output);
}

bool QtSerialPort::Write(std::span<const std::uint8_t> bytes)
{
    if (!IsOpen()) return false;
    const auto size = static_cast<qint64>(bytes.size());
    if (port_.write(reinterpret_cast<const char*>(bytes.data()), size) != size) return false;
    // Hand the bytes to the driver now rather than on the next loop pass.
    port_.flush();
    return true;
}

void QtSerialPort::SetDataReceived(DataHandler handler) { handler_ = std::move(handler); }

void QtSerialPort::DeliverReceivedBytes()
{
    const QByteArray data = port_.readAll();
    if (data.isEmpty() || !handler_) return;
    handler_(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(data.constData()),
                                           static_cast<std::size_t>(data.size())));
}

void QtSerialPort::OnError(QSerialPort::SerialPortError error)
{
    // A pulled cable shows as a resource error; a pseudo-terminal whose
    // master closed first fails its reads. Either way the device is gone and
    // the port would report the failure again on every loop pass.
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError) return;
    // Refuse writes at once; close outside the signal, as the port's own
    // notifiers are still on the stack.
    gone_ = true;
    QMetaObject::invokeMethod(&port_, [this] {
        if (gone_ && port_.isOpen()) port_.close();
    }, Qt::QueuedConnection);
}

}  // namespace pelora
