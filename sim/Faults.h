#pragma once

#include <cstdint>
#include <functional>
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
    // and comes back in PC mode with the code it had committed.
    void PowerLossAfterCodeBlock(int n, double offSeconds = 5.0);
    // The device acts on the frame-th frame and loses power before its reply
    // goes out: as above, and what it wrote or committed stays.
    void PowerLossAtFrame(int frame, double offSeconds = 5.0);
    // A restart never ends: the device stays silent for good.
    void NoReturnFromRestart();
    // Another model, or older or newer code (the identification follows).
    void AnotherModel(const std::string& modelKey);
    void CodeVersion(const std::string& version, int revision = -1);
    // The code last committed was not taken: version and revision go back
    // to those before that commit. Meant for AfterRestart.
    void CodeNotTaken();
    // Reads of this byte of data memory return it XOR `mask`; writes are kept.
    void BadCell(int byteAddress, std::uint8_t mask = 0xFF);

    // The reply to the frame-th frame leaves `seconds` later than usual;
    // replies to later frames queue behind it.
    void DelayReplyToFrame(int frame, double seconds);
    // Replies to the next `count` frames with `tag` (nullopt: any), after
    // `skip` of them, reach the line changed; the device acted on each frame.
    // Corrupt: `bytes` bytes from index `at` (negative: from the end) XOR `mask`.
    void CorruptReplies(std::optional<FrameTag> tag, int count, int skip = 0, int at = 0, int bytes = 1,
                        std::uint8_t mask = 0x01);
    // Short: the last `bytes` bytes are missing.
    void ShortReplies(std::optional<FrameTag> tag, int count, int skip = 0, int bytes = 1);
    // Long: `extra` follows the reply.
    void LongReplies(std::optional<FrameTag> tag, int count, int skip = 0, std::vector<std::uint8_t> extra = {0xFF});
    // Noise: `noise` goes out right before the reply.
    void NoiseBeforeReplies(std::optional<FrameTag> tag, int count, std::vector<std::uint8_t> noise = {0xFF},
                            int skip = 0);

    // A test's own fault for every frame, on top of the armed ones: the
    // filter sees each frame the device parses (tag and bytes, with its
    // 0x00) before the device acts, and may set delay, powerOff, reject or
    // reshape. Lets a fuzz input decide the fate of each reply.
    struct FrameFaults;
    using FrameFilter = std::function<void(FrameTag, const std::vector<std::uint8_t>&, FrameFaults&)>;
    void FilterFrames(FrameFilter filter);

    // Arms `arm` when the device is back from its next restart (after a
    // commit, also one cut short by a power loss); frame counts start there.
    void AfterRestart(std::function<void(Faults&)> arm);

    // Arms a fault written in the command-line syntax of sim/README.md,
    // e.g. "reject:B5-data,3". False, with a reason, for a spec it cannot read.
    bool Apply(const std::string& spec, std::string* error = nullptr);
    static std::vector<std::string> Names();  // every fault Apply knows
    static const char* Usage();               // the syntax of each, one line per fault
    void Clear();

    // Queries made by the device.
    bool Unplugged(double time) const;
    // What the faults do to the frame just parsed; counts it.
    struct FrameFaults {
        bool unplugs = false;                  // the frame is lost and the cable pulled
        double delay = 0.0;                    // extra seconds before its reply
        std::optional<double> powerOff;        // power lost before its reply, for this long
        bool reject = false;                   // answered A5, no effect
        // Changes the reply after the armed changes; an emptied reply is lost.
        std::function<void(std::vector<std::uint8_t>&)> reshape;
    };
    FrameFaults OnFrame(double time, FrameTag tag, const std::vector<std::uint8_t>& frame);
    bool TakeReject(FrameTag tag);
    bool TakeDrop(FrameTag tag);
    void ShapeReply(FrameTag tag, std::vector<std::uint8_t>& reply);  // corrupt, short, long, noise
    bool OnCodeBlockLosesPower();           // counts an accepted code block
    void OnRestarted();                     // arms what waited for the restart
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
    enum class Change { Corrupt, Short, Long, Noise };
    struct ReplyChange {
        Change change;
        Counted plan;
        int at = 0;
        int bytes = 0;
        std::uint8_t mask = 0;
        std::vector<std::uint8_t> extra;
    };

    static bool TakeCounted(std::vector<Counted>& plans, FrameTag tag);
    static bool TakeCounted(Counted& plan, FrameTag tag);

    Device& device_;
    int framesSeen_ = 0;
    int codeBlocksSeen_ = 0;
    std::vector<Window> unplugged_;
    std::vector<FramePlan> unplugAtFrame_;
    std::vector<Counted> rejects_;
    std::vector<Counted> drops_;
    std::vector<ReplyChange> replyChanges_;
    std::vector<FramePlan> delays_;         // duration: the delay
    std::vector<FramePlan> powerLosses_;    // duration: time off
    std::vector<std::function<void(Faults&)>> afterRestart_;
    FrameFilter filter_;
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
