// update_bench: a whole update through the real serial port and event pump
// against pelora-sim with wire timing on a pseudo-terminal: a 512-block
// Code1Only image, and a device whose logbook has wrapped (506 blocks).
//
// usage: update_bench [--code-blocks N] [--device-latency S] [--latency-timer MS]
//
// Prints the task log, then as its last line
//   wall_s=... bound_s=... ratio=... cpu_fraction=... peak_rss_mb=...
//   latency_timer_ms=... timer_max_s=...
// bound_s is the time every frame and reply needs on the wire at 38,400
// baud (10 bits a byte), plus the waits the sequence must make (the restart
// wait and the restore's pauses) and the device's reply latency S per reply.
// With --latency-timer the emulated cable's chip holds each reply's rest
// (below its 62-byte packet) for up to MS: timer_max_s, one timer per frame,
// is the most that can add to bound_s.
#include "BenchSupport.h"
#include "ImageWriter.h"
#include "firmware/FirmwareUpdate.h"
#include "link/CommModule.h"
#include "platform/Dialogs.h"
#include "platform/LocalTime.h"
#include "platform/ProcessPriority.h"
#include "platform/QtEventPump.h"
#include "platform/QtSerialPort.h"
#include "platform/SteadyClock.h"
#include "platform/StringTable.h"
#include "texts/LanguageDb.h"

#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// The restart wait of a one-region image, and the restore's two pauses.
constexpr double kFixedWaits = 12.0 + 2.0 + 1.0;

class PrintingLog : public pelora::TaskLog {
public:
    void InsertTaskList(int IconInd, const std::string& S1, const std::string& S2) override
    {
        Flush();
        icon = IconInd;
        row = S1;
        status = S2;
    }
    void SetTaskStatus(const std::string& S) override { status = S; }
    void Flush()
    {
        if (!row.empty()) std::printf("  [%d] %s  %s\n", icon, row.c_str(), status.c_str());
        last = row;
        row.clear();
    }
    int icon = 0;
    std::string row;
    std::string last;
    std::string status;
};

class NoBoxes : public pelora::Dialogs {
public:
    Answer Show(Icon, Buttons buttons, const std::string& title, const std::string& text) override
    {
        std::fprintf(stderr, "update_bench: unexpected box \"%s\": %s\n", title.c_str(), text.c_str());
        return buttons == Buttons::YesNo ? Answer::No : Answer::Cancel;
    }
};

int Usage()
{
    std::fprintf(stderr, "usage: update_bench [--code-blocks N] [--device-latency SECONDS] [--latency-timer MS]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int codeBlocks = 512;
    double latency = 0.0;
    int timerMs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) return Usage();
        const std::string value = argv[++i];
        char* end = nullptr;
        if (option == "--code-blocks") codeBlocks = static_cast<int>(std::strtol(value.c_str(), &end, 10));
        else if (option == "--device-latency") latency = std::strtod(value.c_str(), &end);
        else if (option == "--latency-timer") timerMs = static_cast<int>(std::strtol(value.c_str(), &end, 10));
        else return Usage();
        if (!end || *end != '\0' || codeBlocks < 0 || codeBlocks > 1024 || latency < 0 || timerMs < 0 || timerMs > 255)
            return Usage();
    }

    // The image, read by the product's own reader.
    fwrtool::ImageSpec spec;
    spec.Code1BlockCount = codeBlocks;
    const auto read = pelora::ParseFirmwareImage(fwrtool::WriteImage(spec));
    if (!read.Loaded()) {
        std::fprintf(stderr, "update_bench: the image did not load: %s\n", read.Failure.Reason().c_str());
        return 1;
    }
    pelora::ImageState image;
    static_cast<pelora::FirmwareImage&>(image) = *read.Image;
    const auto device = pelora::ReadDeviceConfiguration(pelora::LoadString(pelora::DeviceConfigurationString));
    image.MinCodeVersion = device.MinCodeVersion;
    image.RevisionSetting = device.RevisionSetting;

    bench::Emulator sim;
    const std::string ptyPath = sim.Start({"--wire-timing", "--wrapped-profile", "--fault",
                                           QString("latency:%1").arg(latency), "--latency-timer",
                                           QString::number(timerMs)});
    if (ptyPath.empty()) return 1;

    pelora::SteadyClock clock;
    pelora::QtEventPump pump(clock);
    pelora::QtSerialPort realPort;
    bench::CountingPort port(realPort);
    pelora::CommModule comm(port, clock, pump);
    comm.State().ResizeReceiveBuffers(static_cast<std::size_t>(image.MemorySize) * 136 + 2);
    port.SetPortName(ptyPath);
    port.SetBaudRate(38400);
    std::string error;
    if (!port.Open(&error)) {
        std::fprintf(stderr, "update_bench: cannot open %s: %s\n", ptyPath.c_str(), error.c_str());
        return 1;
    }

    pelora::LanguageDb texts;
    texts.OpenLanguageDb(QDir(QCoreApplication::applicationDirPath()).filePath("FirmwareUpdate.lng").toStdString(),
                         pelora::LoadString(pelora::LanguageDbPassword), 1);
    QTemporaryDir backups;
    PrintingLog log;
    NoBoxes boxes;
    pelora::SystemProcessPriority priority;
    pelora::SystemLocalTime localTime;
    pelora::SavedProfile profile;
    const pelora::BackupFolders folders{backups.path().toStdString(), {}};
    pelora::UpdateSeams seams{comm,      log,       texts, priority, clock, pump, localTime, [] {},
                              [&](pelora::TaskLog& rowLog) {
                                  pelora::ProfileSeams profileSeams{comm,     rowLog,    boxes,   texts,
                                                                    priority, localTime, folders, [] {}};
                                  return pelora::ProfileKeeper(profile, profileSeams,
                                                               {image.ModelNumber, image.MemorySize});
                              },
                              {}};
    pelora::FirmwareUpdate update(image, profile, seams);

    profile.ProfileRestorePending = true;
    profile.ProfileSafe = true;
    const double cpuStart = bench::CpuSeconds();
    const double wallStart = clock.Now();
    update.UpdateFirmware();
    const double wall = clock.Now() - wallStart;
    const double cpu = bench::CpuSeconds() - cpuStart;
    log.Flush();
    port.Close();
    sim.Stop();

    const double bound = static_cast<double>(port.sent + port.received) * bench::kByteSeconds + kFixedWaits +
                         static_cast<double>(port.frames) * latency;
    const bool succeeded = log.last == texts.GetText(786);
    std::printf("frames %zu, bytes sent %zu, bytes received %zu, profile blocks %d, code blocks %d, %s\n",
                port.frames, port.sent, port.received, profile.ProfileBlockCount, codeBlocks,
                succeeded ? "update finished" : "UPDATE FAILED");
    const double timerMax = static_cast<double>(port.frames) * timerMs / 1000.0;
    std::printf("wall_s=%.3f bound_s=%.3f ratio=%.4f cpu_fraction=%.4f peak_rss_mb=%.1f latency_timer_ms=%d "
                "timer_max_s=%.3f\n",
                wall, bound, bound > 0 ? wall / bound : 0.0, wall > 0 ? cpu / wall : 0.0,
                bench::PeakResidentMegabytes(), timerMs, timerMax);
    std::fflush(stdout);
    return succeeded ? 0 : 1;
}
