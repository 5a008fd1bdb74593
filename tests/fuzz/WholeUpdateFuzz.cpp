// A whole firmware update against the emulated device on the virtual clock,
// the fate of every reply taken from the fuzz input. Whatever the line does,
// the update must not crash or outrun its time-outs, must commit no code but
// the image's and write no byte the diver's logbook did not hold, must keep
// the profile on the device or in a valid backup, and must say it completed
// only when the new code runs with the profile back on the device.
#include "ImageWriter.h"
#include "firmware/FirmwareUpdate.h"
#include "link/CommModule.h"
#include "platform/StringTable.h"
#include "profile/BackupFile.h"
#include "sim/Memory.h"
#include "sim/VirtualHarness.h"
#include "support/Fakes.h"
#include "support/TestTexts.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>

namespace {

using Bytes = std::vector<std::uint8_t>;

// A broken promise: abort, so libFuzzer keeps the input.
void Require(bool kept, const char* what, const std::vector<std::string>& rows = {})
{
    if (kept) return;
    std::fprintf(stderr, "whole_update: %s\n", what);
    for (const auto& row : rows) std::fprintf(stderr, "  %s\n", row.c_str());
    std::abort();
}

// After the run byte, one action byte for each frame the device parses decides
// its reply: the low four bits choose, the high four (p) tune, and ChangeByte,
// Lengthen and Noise take the next byte (x). Past the input every reply passes.
// (A restart that never ends is one of the fault matrix's scenarios.)
enum Action { Pass, Drop, Pieces, Delay, ChangeByte, CutShort, Lengthen, ReplaceByReject, Reject, Noise, PowerCut };
// 11 to 15 pass as well
// Delays end below the link's quiet time: a later reply is an answer to no request.
constexpr std::array kDelays{0.01, 0.05, 0.1, 0.15, 0.19, 0.21, 0.25, 0.4, 0.9, 1.1, 1.5, 1.9, 2.1, 2.5, 2.7, 2.9};
static_assert(kDelays.back() < pelora::CommModule::SettleQuietSeconds);

// Nothing in an update asks the diver anything: any box is a fault.
struct NoDialogs : pelora::Dialogs {
    Answer Show(Icon, Buttons, const std::string&, const std::string& t) override { Require(0, t.c_str()), abort(); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    // The run byte: bits 0-1 the layout (Code1Only, Code2Only, BothCodes, or
    // Code1Only on 1024 memory blocks, else 512), bit 2 code blocks per region
    // (1 or 2), bits 3-4 logbook blocks, bit 5 the program shows the revision,
    // bits 6-7 the device's restart (5, 11, 14 or 40 s; the program waits 10 or
    // 12 s after region 1, 45 s after region 2).
    const std::uint8_t run = data[0];
    fwrtool::ImageSpec spec;
    using enum pelora::ImageLayout;
    spec.Layout = std::array{Code1Only, Code2Only, BothCodes, Code1Only}[run & 3];
    spec.MemorySize = (run & 3) == 3 ? 1024 : 512;
    spec.Code1BlockCount = spec.Code2BlockCount = 1 + (run >> 2 & 1);
    const auto settings = pelora::ReadDeviceConfiguration(pelora::LoadString(pelora::DeviceConfigurationString));
    const pelora::ImageState image{*pelora::ParseFirmwareImage(fwrtool::WriteImage(spec)).Image,
                                   settings.MinCodeVersion, run & 0x20 ? std::uint8_t{5} : settings.RevisionSetting};
    sim::DeviceConfig config;
    config.memorySize = spec.MemorySize;
    config.profileBlocks = run >> 3 & 3;
    config.restartSeconds = std::array{5.0, 11.0, 14.0, 40.0}[run >> 6];
    sim::VirtualHarness h(config);
    const Bytes original = h.Dev().Memory();
    // One action byte of the script decides the fate of each reply; `changed`
    // holds the block addresses whose data was changed.
    std::span<const std::uint8_t> script(data + 1, size - 1);
    std::set<int> changed;
    h.Faults().FilterFrames([&](sim::FrameTag tag, const Bytes& frame, sim::Faults::FrameFaults& f) {
        const auto next = [&script] { return script.empty() ? 0 : std::exchange(script, script.subspan(1))[0]; };
        int action = next(), p = action >> 4;
        action &= 15;
        const std::uint8_t x = action == ChangeByte || action == Lengthen || action == Noise ? next() : 0;
        const std::uint8_t mask = static_cast<std::uint8_t>(p ? 1 << p % 8 : 0xFF);
        const std::size_t n = static_cast<std::size_t>(p) + 1;
        // Line noise never repeats itself: a block's data is changed once at most,
        // or two reads could agree on the change.
        if (tag == 0xB4 && ((action == ChangeByte && x % 129) || action == Lengthen || action == Noise) &&
            !changed.insert(frame[1] * 256 + frame[2]).second)
            action = Pass;
        // Nor does it forge an acceptance: no program can tell A5 turned into 5A from the device's own.
        const auto forges = [](const Bytes& r, int first) { return !r.empty() && r[0] == 0xA5 && first == 0x5A; };
        h.Faults().ChunkReplies(0, 0.0);
        switch (action) {
        case Drop: f.reshape = [](Bytes& r) { r.clear(); }; break;
        case Pieces: h.Faults().ChunkReplies(p % 8 + 1, p >= 8 ? 0.3 : 0.004); break;
        case Delay: f.delay += kDelays[n - 1]; break;
        case ChangeByte:
            f.reshape = [=](Bytes& r) {
                if (!r.empty() && (x % r.size() || !forges(r, r[0] ^ mask))) r[x % r.size()] ^= mask;
            };
            break;
        case CutShort: f.reshape = [n](Bytes& r) { r.resize(r.size() > n ? r.size() - n : 0); }; break;
        case Lengthen: f.reshape = [n, x](Bytes& r) { r.insert(r.end(), n, x); }; break;
        case ReplaceByReject: f.reshape = [](Bytes& r) { r.assign(1, 0xA5); }; break;
        case Reject: f.reject = true; break;
        case Noise: f.reshape = [=](Bytes& r) { if (!forges(r, x)) r.insert(r.begin(), n, x); }; break;
        case PowerCut: f.powerOff = std::array{0.5, 3.0, 8.0, 30.0}[p % 4]; break;
        }
    });
    // Twice the longest update the time-outs allow, every exchange using all its tries.
    h.SetIdleHook([&] { Require(h.Now() < 900.0, "the update outruns its time-outs"); });
    // The backup's folder; the program makes it when it saves there.
    const auto folder =
        std::filesystem::temp_directory_path() / ("pelora-update-" + std::to_string(std::random_device{}()));
    pelora::CommModule link(h.Port(), h.Clock(), h.Pump());
    link.State().ResizeReceiveBuffers(static_cast<std::size_t>(config.memorySize) * 136 + 2);
    h.Port().Open(nullptr);
    testsupport::RecordingTaskLog log;
    testsupport::RecordingPriority priority;
    testsupport::FixedLocalTime localTime;
    NoDialogs dialogs;
    const pelora::TextSource& texts = testsupport::EnglishTexts();
    pelora::SavedProfile profile;
    profile.ProfileRestorePending = true;  // as the window starts an update
    const auto keeper = [&](pelora::TaskLog& stepLog) {
        return pelora::ProfileKeeper(profile, {link, stepLog, dialogs, texts, priority, localTime, {folder, {}}, [] {}},
                                     {image.ModelNumber, static_cast<int>(image.MemorySize)});
    };
    pelora::FirmwareUpdate update(
        image, profile, {link, log, texts, priority, h.Clock(), h.Pump(), localTime, [] {}, keeper, [](double) {}});
    update.UpdateFirmware();  // an exception escaping it aborts

    const Bytes& memory = h.Dev().Memory();
    Bytes cleared = original;  // as new code leaves it: an empty logbook
    sim::ClearLogbook(cleared, config.memorySize);
    bool owned = true;
    for (std::size_t at = 0; at < memory.size(); at += 16)
        owned = owned && (std::equal(&memory[at], &memory[at] + 16, &original[at]) ||
                          std::equal(&memory[at], &memory[at] + 16, &cleared[at]));
    const bool onDevice = memory == original || (config.profileBlocks == 0 && memory == cleared);
    const auto file = pelora::ReadBackupFile(
        folder / pelora::BackupFileName(image.ModelNumber, config.serialNumber), config.memorySize);
    const int logbook = config.profileBlocks;
    bool inBackup = file.Valid() && file.Serial == config.serialNumber && file.Area.BlockCount == logbook &&
                    std::equal(&original[64], &original[80], file.Content->ProfileHeader.begin());
    for (int i = 0; inBackup && i < logbook; ++i)
        inBackup = std::ranges::equal(std::span(&original[256 + 128 * i], 128),
                                      std::span(file.Content->ProfileBlocks.Block(i + 1)).subspan(1, 128));
    const auto said = [&](int id) {  // a row's event is between its icon and its status
        return std::ranges::any_of(log.rows, [&](auto& r) { return r.find('|' + texts.GetText(id) + '|') < r.size(); });
    };
    // A region's committed code: 0 none, 1 the image's, -1 anything else.
    const auto committed = [&](int region, const pelora::BlockTable& blocks, int count) {
        std::map<int, Bytes> given;  // address: bytes and check byte
        for (int k = 1; k <= count; ++k)
            given[blocks.Block(k)[0]].assign(blocks.Block(k).begin() + 1, blocks.Block(k).end());
        const auto& code = h.Dev().CommittedCode(region);
        return code.empty() ? 0 : code == given ? 1 : -1;
    };
    const int code1 = committed(1, image.Code1Blocks, image.Code1BlockCount);
    const int code2 = committed(2, image.Code2Blocks, image.Code2BlockCount);
    const bool done = said(786), codeChanged = code1 || code2;
    Require(code1 >= 0 && code2 >= 0 && owned, "the device holds code or logbook bytes it was never given", log.rows);
    Require(onDevice || inBackup, "the profile is lost: not on the device, not in a valid backup file", log.rows);
    Require(!done || ((code1 || image.Code2Only) && (code2 || image.Code1Only) && onDevice && !said(814) &&
                      h.Dev().CodeVersion() == image.ImageCodeVersion && h.Dev().Revision() == image.ImageRevision),
            "786 on an update that did not complete", log.rows);
    // What the rows say about the profile after a failure is the fault matrix's to check.
    Require(done || said(814) || (!codeChanged && memory == original), "stopped, the device changed", log.rows);
    std::filesystem::remove_all(folder);
    return 0;
}
