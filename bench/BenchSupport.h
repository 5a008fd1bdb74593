#pragma once

// What the benchmarks share: a port that counts the bytes on the line, the
// emulated device on a pseudo-terminal, and the process's own figures.

#include "platform/SerialPort.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QStringList>

#include <sys/resource.h>

#include <cstdio>
#include <string>

namespace bench {

// Seconds a byte takes on the wire at 38,400 baud, 10 bits a byte.
constexpr double kByteSeconds = 10.0 / 38400.0;

// Counts every byte that passes the port in either direction.
class CountingPort : public pelora::SerialPort {
public:
    explicit CountingPort(pelora::SerialPort& inner) : inner_(inner) {}

    void SetPortName(const std::string& name) override { inner_.SetPortName(name); }
    void SetBaudRate(int baud) override { inner_.SetBaudRate(baud); }
    bool Open(std::string* error) override { return inner_.Open(error); }
    bool IsOpen() const override { return inner_.IsOpen(); }
    void Close() override { inner_.Close(); }
    void ClearInput() override { inner_.ClearInput(); }
    void ClearOutput() override { inner_.ClearOutput(); }
    bool Write(std::span<const std::uint8_t> bytes) override
    {
        sent += bytes.size();
        ++frames;
        return inner_.Write(bytes);
    }
    void SetDataReceived(DataHandler handler) override
    {
        inner_.SetDataReceived([this, handler = std::move(handler)](std::span<const std::uint8_t> data) {
            received += data.size();
            if (handler) handler(data);
        });
    }

    std::size_t sent = 0;
    std::size_t received = 0;
    std::size_t frames = 0;

private:
    pelora::SerialPort& inner_;
};

inline double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

inline double PeakResidentMegabytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

// pelora-sim from the bench's own folder, serving until Stop().
class Emulator {
public:
    // Starts it and returns its pty path, or "" with a message on stderr.
    std::string Start(const QStringList& arguments)
    {
        sim_.setProgram(QDir(QCoreApplication::applicationDirPath()).filePath("pelora-sim"));
        sim_.setArguments(arguments);
        sim_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        sim_.start();
        if (!sim_.waitForStarted(5000)) {
            std::fprintf(stderr, "cannot start %s\n", qPrintable(sim_.program()));
            return {};
        }
        while (!sim_.canReadLine() && sim_.waitForReadyRead(5000)) {}
        const std::string path = QString::fromUtf8(sim_.readLine()).trimmed().toStdString();
        if (path.empty()) {
            std::fprintf(stderr, "pelora-sim printed no pty path\n");
            Stop();
        }
        return path;
    }
    void Stop()
    {
        if (sim_.state() == QProcess::NotRunning) return;
        sim_.terminate();
        if (!sim_.waitForFinished(5000)) sim_.kill();
        sim_.waitForFinished(5000);
    }
    ~Emulator() { Stop(); }

private:
    QProcess sim_;
};

}  // namespace bench
