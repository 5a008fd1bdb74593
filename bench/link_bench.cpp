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
#include "BenchSupport.h"
#include "link/CommModule.h"
#include "platform/QtEventPump.h"
#include "platform/QtSerialPort.h"
#include "platform/SteadyClock.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using bench::CpuSeconds;
using bench::kByteSeconds;
constexpr std::int32_t kFirstCodeUnit = 0x2000;
constexpr std::int32_t kFirstProfileUnit = 16;

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

    bench::Emulator sim;
    const std::string ptyPath = sim.Start({"--wire-timing", "--fault", QString("latency:%1").arg(latency)});
    if (ptyPath.empty()) return 1;
    auto stopSim = [&sim] { sim.Stop(); };

    pelora::SteadyClock clock;
    pelora::QtEventPump pump(clock);
    pelora::QtSerialPort realPort;
    bench::CountingPort port(realPort);
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
