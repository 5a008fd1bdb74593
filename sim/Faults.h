#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class Device;

// A request frame as the faults and the records name it: the command byte
// for a command or header frame, DataFrame(command) for the data frame that
// follows a 0xB2, 0xB5, 0xB7 header or a 0x97 command.
using FrameTag = int;
constexpr FrameTag DataFrame(std::uint8_t command) { return 0x100 | command; }

constexpr double Forever = std::numeric_limits<double>::infinity();

// Scripted misbehaviour of the emulated device. Faults compose: every armed
// fault acts on its own. Frame counts are counted from the moment a fault is
// armed (frame 1 is the next frame the device parses); times are device
// seconds (virtual seconds in the harness, seconds since start in pelora-sim).
class Faults {
public:
    explicit Faults(Device& device) : device_(device) {}

    // The cable is pulled: the device hears nothing and its replies are lost.
    void UnplugAtFrame(int frame, double duration = Forever);
    void UnplugAt(double time, double duration = Forever);
    // The next `count` frames with this tag are answered 0xA5 and have no
    // effect; the first `skip` matching frames are served normally.
    void Reject(FrameTag tag, int count, int skip = 0);
    // The next `count` replies (to frames with `tag`, or to any frame) are
    // lost after the device has acted on their frames.
    void DropReplies(int count, std::optional<FrameTag> tag = std::nullopt, int skip = 0);
    // Replies arrive in pieces of `size` bytes, `gap` seconds apart.
    void ChunkReplies(int size, double gap);
    void SetLatency(double seconds);
    // While idle in PC mode, and only after it has heard a first frame, the
    // device sends `bytes` every `period` seconds.
    void StrayWhileIdle(double period, std::vector<std::uint8_t> bytes = {0xFF});
    // After acknowledging the n-th code block (both regions count) the
    // device loses power: held code is lost, it is silent for `offSeconds`
    // and comes back in PC mode with its old code.
    void PowerLossAfterCodeBlock(int n, double offSeconds = 5.0);
    // A restart never ends: the device stays silent for good.
    void NoReturnFromRestart();
    // Another model, or older or newer code (the identification follows).
    void AnotherModel(const std::string& modelKey);
    void CodeVersion(const std::string& version, int revision = -1);
    // Reads of this byte of data memory return it XOR `mask`; writes are kept.
    void BadCell(int byteAddress, std::uint8_t mask = 0xFF);

    // Arms a fault written in the command-line syntax of sim/README.md,
    // e.g. "reject:B5-data,3". False, with a reason, for a spec it cannot read.
    bool Apply(const std::string& spec, std::string* error = nullptr);
    static std::vector<std::string> Names();  // every fault Apply knows
    static const char* Usage();               // the syntax of each, one line per fault
    void Clear();

    // Queries made by the device.
    bool Unplugged(double time) const;
    bool OnFrameUnplugs(double time);       // counts the frame; true if it starts an unplug
    bool TakeReject(FrameTag tag);
    bool TakeDrop(FrameTag tag);
    bool OnCodeBlockLosesPower();           // counts an accepted code block
    double PowerOffSeconds() const { return powerOffSeconds_; }
    bool RestartNeverEnds() const { return noReturn_; }
    std::optional<double> Latency() const { return latency_; }
    int ChunkSize() const { return chunkSize_; }
    double ChunkGap() const { return chunkGap_; }
    double StrayPeriod() const { return strayPeriod_; }
    const std::vector<std::uint8_t>& StrayBytes() const { return strayBytes_; }
    std::uint8_t ReadMask(int byteAddress) const;

private:
    struct Window { double from; double to; };
    struct FramePlan { int frame; double duration; };
    struct Counted { std::optional<FrameTag> tag; int skip; int count; };

    static bool TakeCounted(std::vector<Counted>& plans, FrameTag tag);

    Device& device_;
    int framesSeen_ = 0;
    int codeBlocksSeen_ = 0;
    std::vector<Window> unplugged_;
    std::vector<FramePlan> unplugAtFrame_;
    std::vector<Counted> rejects_;
    std::vector<Counted> drops_;
    std::optional<double> latency_;
    int chunkSize_ = 0;
    double chunkGap_ = 0.0;
    double strayPeriod_ = 0.0;
    std::vector<std::uint8_t> strayBytes_;
    int powerLossBlock_ = 0;
    double powerOffSeconds_ = 5.0;
    bool noReturn_ = false;
    std::vector<std::pair<int, std::uint8_t>> badCells_;
};

}  // namespace sim
