// link_bench: the link's throughput through the real serial port and event
// pump against pelora-sim with wire timing on a pseudo-terminal.
//
// usage: link_bench [--writes N] [--reads M] [--device-latency S]
//
// Writes N code blocks (0xB5 from unit 0x2000 up) and reads M blocks (from
// unit 16 up), then prints as its last line
//   wall_s=... wire_s=... ratio=... cpu_fraction=...
// wire_s is the time the same bytes need on the wire at 38400 baud with 10
// bits per byte in both directions, the lower bound for any link. The
// device's own reply latency (S, default 0) is added to that bound.
#include "link/CommModule.h"
#include "platform/QtEventPump.h"
#include "platform/QtSerialPort.h"
#include "platform/SteadyClock.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr double kByteSeconds = 10.0 / 38400.0;
constexpr std::int32_t kFirstCodeUnit = 0x2000;
constexpr std::int32_t kFirstProfileUnit = 16;

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

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

int Usage()
{
    std::fprintf(stderr, "usage: link_bench [--writes N] [--reads M] [--device-latency SECONDS]\n");
    return 2;
}

void FillBlock(pelora::LinkState& state, int seed)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < 128; ++i) {
        state.BlockBuf[i] = static_cast<std::uint8_t>((seed * 131 + static_cast<int>(i) * 17) & 0xFF);
        sum += state.BlockBuf[i];
    }
    state.BlockBuf[128] = static_cast<std::uint8_t>(sum);
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int writes = 512;
    int reads = 506;
    double latency = 0.0;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) return Usage();
        const std::string value = argv[++i];
        char* end = nullptr;
        if (option == "--writes") writes = static_cast<int>(std::strtol(value.c_str(), &end, 10));
        else if (option == "--reads") reads = static_cast<int>(std::strtol(value.c_str(), &end, 10));
        else if (option == "--device-latency") latency = std::strtod(value.c_str(), &end);
        else return Usage();
        if (!end || *end != '\0' || writes < 0 || reads < 0 || latency < 0) return Usage();
    }
    if (writes > 2048 || reads > 506) {
        std::fprintf(stderr, "link_bench: at most 2048 writes and 506 reads\n");
        return 2;
    }

    QProcess sim;
    sim.setProgram(QDir(QCoreApplication::applicationDirPath()).filePath("pelora-sim"));
    sim.setArguments({"--wire-timing", "--fault", QString("latency:%1").arg(latency)});
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start();
    if (!sim.waitForStarted(5000)) {
        std::fprintf(stderr, "link_bench: cannot start %s\n", qPrintable(sim.program()));
        return 1;
    }
    while (!sim.canReadLine() && sim.waitForReadyRead(5000)) {}
    const std::string ptyPath = QString::fromUtf8(sim.readLine()).trimmed().toStdString();
    auto stopSim = [&sim] {
        sim.terminate();
        if (!sim.waitForFinished(5000)) sim.kill();
        sim.waitForFinished(5000);
    };
    if (ptyPath.empty()) {
        std::fprintf(stderr, "link_bench: pelora-sim printed no pty path\n");
        stopSim();
        return 1;
    }

    pelora::SteadyClock clock;
    pelora::QtEventPump pump(clock);
    pelora::QtSerialPort realPort;
    CountingPort port(realPort);
    pelora::CommModule comm(port, clock, pump);
    comm.State().ResizeReceiveBuffers(512 * 136 + 2);
    port.SetPortName(ptyPath);
    port.SetBaudRate(38400);
    std::string error;
    if (!port.Open(&error)) {
        std::fprintf(stderr, "link_bench: cannot open %s: %s\n", ptyPath.c_str(), error.c_str());
        stopSim();
        return 1;
    }

    const double cpuStart = CpuSeconds();
    const double wallStart = clock.Now();
    int failures = 0;
    for (int i = 0; i < writes; ++i) {
        FillBlock(comm.State(), i);
        comm.WriteBlock(kFirstCodeUnit + 8 * i, 0xB5);
        if (comm.State().CommFailed || comm.State().LinkAbort) ++failures;
        comm.State().CommFailed = false;
    }
    const double writeSeconds = clock.Now() - wallStart;
    for (int i = 0; i < reads; ++i) {
        const std::int32_t unit = kFirstProfileUnit + 8 * i;
        comm.ReadMemoryBlocks(unit, unit);
        if (comm.State().CommFailed || comm.State().LinkAbort) ++failures;
        comm.State().CommFailed = false;
    }
    const double wall = clock.Now() - wallStart;
    const double cpu = CpuSeconds() - cpuStart;
    port.Close();
    stopSim();

    const std::size_t exchanges = static_cast<std::size_t>(writes) * 2 + static_cast<std::size_t>(reads);
    const double wire = static_cast<double>(port.sent + port.received) * kByteSeconds +
                        static_cast<double>(exchanges) * latency;
    std::printf("blocks written %d (%.2f s), blocks read %d (%.2f s), failures %d\n", writes, writeSeconds, reads,
                wall - writeSeconds, failures);
    std::printf("frames %zu, bytes sent %zu, bytes received %zu, device latency %.4f s per reply\n", port.frames,
                port.sent, port.received, latency);
    std::printf("wall_s=%.3f wire_s=%.3f ratio=%.4f cpu_fraction=%.4f\n", wall, wire, wire > 0 ? wall / wire : 0.0,
                wall > 0 ? cpu / wall : 0.0);
    std::fflush(stdout);
    return failures == 0 ? 0 : 1;
}
