// A whole firmware update against the emulated device on the virtual clock,
// the fate of every reply taken from the fuzz input. Whatever the line does,
// the update ends within the time its time-outs allow, says it completed
// only when the new code runs and the diver's profile is back on the device
// byte for byte, and never loses the profile: it stays on the device or in a
// valid backup file.
#include "ImageWriter.h"
#include "firmware/FirmwareUpdate.h"
#include "link/CommModule.h"
#include "platform/StringTable.h"
#include "profile/BackupFile.h"
#include "sim/Memory.h"
#include "sim/VirtualHarness.h"
#include "support/Fakes.h"
#include "support/TestTexts.h"
#include "FuzzedLine.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#ifdef _WIN32
#include <process.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using pelora::ImageLayout;
using Bytes = std::vector<std::uint8_t>;

// A broken promise: abort, so libFuzzer keeps the input.
[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "whole_update: %s\n", what.c_str());
    std::abort();
}

// The input's first byte sets up the run:
//   bits 0-1  layout: Code1Only, Code2Only, BothCodes, or Code1Only on a
//             memory of 1024 blocks (else 512, which keeps runs fast)
//   bit 2     code blocks per region: 1 or 2
//   bits 3-4  logbook blocks: 0 to 3
//   bit 5     the program reads and shows the code revision
//   bits 6-7  the device's restart: 5, 11, 14 or 40 s (the program waits
//             10 or 12 s after region 1, 45 s after region 2)
struct Run {
    explicit Run(std::uint8_t b)
        : layout(std::array{ImageLayout::Code1Only, ImageLayout::Code2Only, ImageLayout::BothCodes,
                            ImageLayout::Code1Only}[b & 3]),
          codeBlocks(1 + (b >> 2 & 1)),
          logbookBlocks(b >> 3 & 3),
          memorySize((b & 3) == 3 ? 1024 : 512),
          revisionShown(b & 0x20),
          restartSeconds(std::array{5.0, 11.0, 14.0, 40.0}[b >> 6])
    {
    }
    ImageLayout layout;
    int codeBlocks;
    int logbookBlocks;
    int memorySize;
    bool revisionShown;
    double restartSeconds;
};

// The longest update the program's time-outs allow, every exchange using all
// its tries: an identification 12 x 2 s (three of them), a block write four
// attempts of a header (12 x 0.2 s) and its data (1 s), a block read 5 x 0.2 s
// (the backup reads a block up to six times, the restore block 0 once), any
// other exchange at most 12 x 1 s (16 of them at most: revisions, modes,
// closing words, the record, the clock settings), the restart waits (at most
// 10 + 45 s) and the restore's pauses (3 s). Twice that is under 20 minutes.
double TimeBound(const Run& run)
{
    const int writes = 2 * run.codeBlocks + run.logbookBlocks;
    const int reads = 6 * (1 + run.logbookBlocks) + 1;
    return 2 * (3 * 24.0 + writes * 4 * (12 * 0.2 + 1.0) + reads * 5 * 0.2 + 16 * 12 * 1.0 + 55.0 + 3.0);
}

const pelora::TextSource& Texts()
{
    static const pelora::TextSource& texts = [] () -> const pelora::TextSource& {
        const pelora::TextSource& english = testsupport::EnglishTexts();
        if (english.GetText(786).empty() || english.GetText(814) == english.GetText(815))
            Fail("the texts 786, 814 and 815 are missing");
        return english;
    }();
    return texts;
}

// Made once per process, emptied before every run. A process that found
// something aborted and left its folder: folders of processes gone go.
bool ProcessGone(int id)
{
#ifdef _WIN32
    // Only replays run on Windows, and they end normally: nothing is left.
    (void)id;
    return false;
#else
    return ::kill(id, 0) != 0 && errno == ESRCH;
#endif
}

const fs::path& BackupFolder()
{
    static const fs::path* folder = [] {
        const std::string prefix = "pelora-whole-update-";
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(fs::temp_directory_path(), ignored)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(prefix, 0) == 0 && ProcessGone(std::atoi(name.c_str() + prefix.size())))
                fs::remove_all(entry.path(), ignored);
        }
        // Never destroyed, so the handler at exit still knows it.
        const auto* path = new fs::path(fs::temp_directory_path() / (prefix + std::to_string(::getpid())));
        fs::create_directories(*path);
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(BackupFolder(), ignored);
        });
        return path;
    }();
    return *folder;
}

const pelora::ImageState& ImageFor(const Run& run)
{
    static std::map<std::array<int, 4>, pelora::ImageState> images;
    const std::array key{static_cast<int>(run.layout), run.codeBlocks, run.memorySize, int{run.revisionShown}};
    if (const auto it = images.find(key); it != images.end()) return it->second;
    fwrtool::ImageSpec spec;
    spec.Layout = run.layout;
    spec.MemorySize = static_cast<std::uint16_t>(run.memorySize);
    spec.Code1BlockCount = run.layout == ImageLayout::Code2Only ? 0 : run.codeBlocks;
    spec.Code2BlockCount = run.layout == ImageLayout::Code1Only ? 0 : run.codeBlocks;
    auto read = pelora::ParseFirmwareImage(fwrtool::WriteImage(spec));
    if (!read.Loaded()) Fail("the image does not load: " + read.Failure.Detail);
    pelora::ImageState image;
    static_cast<pelora::FirmwareImage&>(image) = std::move(*read.Image);
    const auto device = pelora::ReadDeviceConfiguration(pelora::LoadString(pelora::DeviceConfigurationString));
    image.MinCodeVersion = device.MinCodeVersion;
    image.RevisionSetting = run.revisionShown ? 5 : device.RevisionSetting;
    return images.emplace(key, std::move(image)).first->second;
}

// Nothing in an update asks the diver anything: any box is a fault.
class NoDialogs : public pelora::Dialogs {
public:
    Answer Show(Icon, Buttons, const std::string& title, const std::string& text) override
    {
        Fail("a message box during the update: " + title + ": " + text);
    }
};

// Every block of the image's regions is the device's committed code.
bool CodeCommitted(const sim::Device& device, const pelora::ImageState& image)
{
    const auto regionIn = [&](int region, const pelora::BlockTable& blocks, int count) {
        const auto& committed = device.CommittedCode(region);
        if (count == 0 || committed.size() != static_cast<std::size_t>(count)) return false;
        for (int k = 1; k <= count; ++k) {
            const auto& row = blocks.Block(k);
            const auto it = committed.find(row[0]);
            if (it == committed.end() || !std::equal(it->second.begin(), it->second.end(), row.begin() + 1))
                return false;
        }
        return true;
    };
    return (image.Code2Only || regionIn(1, image.Code1Blocks, image.Code1BlockCount)) &&
           (image.Code1Only || regionIn(2, image.Code2Blocks, image.Code2BlockCount));
}

// The whole data memory as at the start. An empty logbook only has to stay
// empty: the program keeps no profile then, and new code zeroes the header
// record's other bytes.
bool ProfileOnDevice(const Bytes& memory, const Bytes& original, const Run& run)
{
    if (run.logbookBlocks > 0) return memory == original;
    const auto same = [&](int from, int to) {
        return std::equal(memory.begin() + from, memory.begin() + to, original.begin() + from);
    };
    return same(0, sim::HeaderRecordOffset) && same(sim::StartPointerOffset, sim::EndPointerOffset + 2) &&
           same(sim::HeaderRecordOffset + 16, static_cast<int>(memory.size()));
}

// The backup file named after the device is valid, carries its serial number
// and holds the original header record and logbook blocks.
bool ProfileInBackup(const Bytes& original, const Run& run, const pelora::ImageState& image, int serial)
{
    const auto file = pelora::ReadBackupFile(BackupFolder() / pelora::BackupFileName(image.ModelNumber, serial),
                                             run.memorySize);
    if (!file.Valid() || file.Serial != serial || file.Area.BlockCount != run.logbookBlocks) return false;
    const auto header = original.begin() + sim::HeaderRecordOffset;
    if (!std::equal(header, header + 16, file.Content->ProfileHeader.begin())) return false;
    for (int i = 1; i <= run.logbookBlocks; ++i) {
        const auto block = original.begin() + (sim::ProfileStartUnit + 8 * (i - 1)) * 16;
        const auto& row = file.Content->ProfileBlocks.Block(i);
        if (!std::equal(block, block + 128, row.begin() + 1)) return false;
    }
    return true;
}

std::string Joined(const std::vector<std::string>& rows)
{
    std::string text;
    for (const auto& row : rows) text += "\n  " + row;
    return text;
}

enum class Ending { Completed, NotCompleted, Stopped };

// An update ends with 786 and what to do next (1051), or with 814, at most
// one row that says where the profile is (815 in its file, 1012 nothing
// changed, 1013 back on the device) and what to do next (1052, Close for the
// recovery, after 815; else 1053); one that stopped at the identification or
// the version decision with none of them. `said` is the where row's text, or 0.
Ending EndingOf(const std::vector<std::string>& rows, int* said)
{
    static const std::map<int, std::string> texts = [] {
        std::map<int, std::string> byId;
        for (const int id : {786, 814, 815, 1012, 1013, 1051, 1052, 1053}) byId[id] = Texts().GetText(id);
        return byId;
    }();
    std::vector<std::string> events;
    for (const auto& row : rows) events.push_back(row.substr(2, row.rfind('|') - 2));
    const auto count = [&](int id) { return std::count(events.begin(), events.end(), texts.at(id)); };
    const auto last = [&](std::size_t back, int id) {
        return events.size() >= back && events[events.size() - back] == texts.at(id);
    };
    const auto where = count(815) + count(1012) + count(1013);
    const auto next = count(1051) + count(1052) + count(1053);
    *said = 0;
    if (count(786) == 1 && count(814) + where == 0 && next == 1 && last(2, 786) && last(1, 1051))
        return Ending::Completed;
    if (count(786) == 0 && count(814) == 1 && where == 0 && next == 1 && last(2, 814) && last(1, 1053))
        return Ending::NotCompleted;
    for (const int id : {815, 1012, 1013})
        if (count(786) == 0 && count(814) == 1 && where == 1 && next == 1 && last(3, 814) && last(2, id) &&
            last(1, id == 815 ? 1052 : 1053))
            return *said = id, Ending::NotCompleted;
    if (count(786) + count(814) + where + next == 0) return Ending::Stopped;
    Fail("the update ends with neither 786 nor 814, where the profile is and what to do next:" + Joined(rows));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    const Run run(data[0]);
    const pelora::ImageState& image = ImageFor(run);
    sim::DeviceConfig config;
    config.memorySize = run.memorySize;
    config.profileBlocks = run.logbookBlocks;
    config.restartSeconds = run.restartSeconds;
    sim::VirtualHarness h(config);
    const Bytes original = h.Dev().Memory();
    fuzzline::Line line(h.Faults(), std::span(data + 1, size - 1));
    h.Faults().FilterFrames([&line](sim::FrameTag tag, const Bytes& frame, sim::Faults::FrameFaults& f) {
        line.Decide(tag, frame, f);
    });
    const double bound = TimeBound(run);
    h.SetIdleHook([&] {
        if (h.Now() > bound) Fail("the update still runs after " + std::to_string(bound) + " s");
    });

    for (const auto& entry : fs::directory_iterator(BackupFolder())) fs::remove_all(entry.path());
    pelora::CommModule link(h.Port(), h.Clock(), h.Pump());
    link.State().ResizeReceiveBuffers(static_cast<std::size_t>(run.memorySize) * 136 + 2);
    if (!h.Port().Open(nullptr)) Fail("the virtual port does not open");
    testsupport::RecordingTaskLog log;
    testsupport::RecordingPriority priority;
    testsupport::FixedLocalTime localTime;
    NoDialogs dialogs;
    // As new for every run, its big block table copied in place rather than
    // allocated again.
    static const pelora::SavedProfile fresh;
    static pelora::SavedProfile profile;
    profile = fresh;
    profile.ProfileRestorePending = true;  // as the window starts an update
    double shown = 0.0;
    pelora::FirmwareUpdate update(
        image, profile,
        {link, log, Texts(), priority, h.Clock(), h.Pump(), localTime, [] {},
         [&](pelora::TaskLog& stepLog) {
             return pelora::ProfileKeeper(
                 profile, {link, stepLog, dialogs, Texts(), priority, localTime, {BackupFolder(), {}}, [] {}},
                 {image.ModelNumber, static_cast<int>(image.MemorySize)});
         },
         [&shown](double fraction) {
             if (fraction < shown || fraction > 1.0) Fail("the progress went from " + std::to_string(shown) +
                                                          " to " + std::to_string(fraction));
             shown = fraction;
         }});
    try {
        update.UpdateFirmware();
    } catch (const std::exception& e) {
        Fail(std::string("an exception escaped the update: ") + e.what());
    } catch (...) {
        Fail("an exception escaped the update");
    }
    h.SetIdleHook({});

    const sim::Device& device = h.Dev();
    const bool onDevice = ProfileOnDevice(device.Memory(), original, run);
    // PELORA_TRACE=1 replay_whole_update FILE tells what a run did.
    static const bool trace = std::getenv("PELORA_TRACE") != nullptr;
    if (trace) {
        std::string frames;
        for (const auto& frame : device.Frames()) frames += " " + std::to_string(frame.bytes.size()) + ":" +
                                                            std::to_string(frame.bytes[0]);
        std::fprintf(stderr, "%.1f s, frames%s\nrows:%s\ndevice '%s', committed %zu+%zu blocks, profile %s\n",
                     h.Now(), frames.c_str(), Joined(log.rows).c_str(), device.IdText().c_str(),
                     device.CommittedCode(1).size(), device.CommittedCode(2).size(),
                     onDevice ? "on it" : "not on it");
    }
    int said = 0;
    const Ending ending = EndingOf(log.rows, &said);
    const bool inBackup = ProfileInBackup(original, run, image, config.serialNumber);
    const bool codeChanged = !device.CommittedCode(1).empty() || !device.CommittedCode(2).empty();
    if ((said == 815 && !inBackup) || (said == 1013 && !onDevice) || (said == 1012 && (!onDevice || codeChanged)))
        Fail("the last row does not say where the profile is:" + Joined(log.rows));
    if (ending == Ending::NotCompleted && said == 0 && !onDevice)
        Fail("814 alone, while the profile is not on the device:" + Joined(log.rows));
    if (ending == Ending::Stopped && (codeChanged || device.Memory() != original))
        Fail("the update stopped before the backup, and the device was changed:" + Joined(log.rows));
    if (ending == Ending::Completed) {
        if (!CodeCommitted(device, image)) Fail("786 without the new code committed:" + Joined(log.rows));
        if (device.CodeVersion() != image.ImageCodeVersion || device.Revision() != image.ImageRevision)
            Fail("786 while the device identifies as '" + device.IdText() + "'" + Joined(log.rows));
        if (!onDevice) Fail("786 without the profile back on the device:" + Joined(log.rows));
    }
    if (!onDevice && !inBackup)
        Fail("the profile is lost: not on the device, not in a valid backup file:" + Joined(log.rows));
    return 0;
}
