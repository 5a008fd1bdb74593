#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sim/CableChip.h"
#include "sim/Faults.h"

namespace sim {

struct DeviceConfig {
    std::string modelKey = "PELORA";
    std::string codeVersion = "1B";          // two characters
    int revision = 0;
    int memorySize = 512;                    // blocks of 128 bytes: 1024, else 512
    int serialNumber = 4711;                 // 0..999999
    int profileBlocks = 40;                  // logbook blocks from unit 16 on
    bool wrappedProfile = false;             // end pointer below start pointer
    std::uint64_t logbookSeed = 1;
    std::optional<std::string> idText;       // verbatim; then it ignores updates
    double restartSeconds = 5.0;             // silence after region 1 is committed
    std::optional<double> restartSeconds2;   // after region 2; unset: restartSeconds
    bool keepMemoryOnCommit = false;         // else a commit clears the logbook and the clock
    double autoWakeSeconds = 0.0;            // 0: Deep Sleep lasts until Wake()
    double replyLatency = 0.002;
    double frameTimeout = 0.1;               // a frame left unfinished this long is dropped
    double dataTimeout = 0.15;               // data must follow its header's reply within this;
                                             // below the program's 0.2 s header resend
    double burstGap = 0.02;                  // after that deadline, bytes closer than this are one
                                             // burst, judged whole once the line is quiet
    bool wireTiming = false;                 // 10 bits per byte at 38400 baud
    double latencyTimer = 0.0;               // the cable's chip (CableChip); 0: replies pass whole
};

enum class Mode { PcMode, DeepSleep, Restarting, PoweredOff };

// The clock as the last valid 0x97 record set it.
struct DeviceClock {
    int year = 0;      // two digits
    int month = 0;
    int day = 0;
    int hour = 0;      // 0..23
    int minute = 0;
    int second = 0;
    int flag = 0;      // byte 6 of the record
    double setAt = 0;  // device time of the setting
};

// The emulated dive computer. Transport-neutral: bytes go in with the time
// they were put on the line, replies come out with the time they arrive at
// the program. Nothing happens between calls; AdvanceTo() runs everything
// due up to a time, in time order.
class Device {
public:
    static constexpr double ByteSeconds = 10.0 / 38400.0;

    explicit Device(DeviceConfig config = {});
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // --- transport side
    void Receive(double time, std::span<const std::uint8_t> bytes);
    void AdvanceTo(double time);
    // Earliest time at which something is due (a reply, a timer), if any.
    std::optional<double> NextEventTime() const;
    // Reply chunks due by `time` (call AdvanceTo first), oldest first.
    std::vector<WireRecord> TakeReplies(double time);
    // The diver holds A and S: Deep Sleep -> PC mode.
    void Wake(double time);
    void SetWireTiming(bool on) { config_.wireTiming = on; }

    // --- state
    Mode CurrentMode() const { return mode_; }
    const DeviceConfig& Config() const { return config_; }
    std::string IdText() const;               // 16 characters
    const std::string& CodeVersion() const { return config_.codeVersion; }
    int Revision() const { return config_.revision; }
    int MemorySize() const { return config_.memorySize; }
    int DataUnits() const { return config_.memorySize * 8; }
    std::vector<std::uint8_t>& Memory() { return memory_; }
    const std::vector<std::uint8_t>& Memory() const { return memory_; }
    std::optional<DeviceClock> Clock() const { return clock_; }
    std::optional<int> Code2Word() const { return code2Word_; }
    // Code by address: held (region not closed yet) and committed.
    const std::map<int, std::vector<std::uint8_t>>& HeldCode(int region) const;
    const std::map<int, std::vector<std::uint8_t>>& CommittedCode(int region) const;
    int Restarts() const { return restarts_; }
    // Version and revision as they were before the last commit (now, if none).
    const std::pair<std::string, int>& VersionBeforeCommit() const { return beforeCommit_; }

    void SetModelKey(const std::string& key);
    void SetCodeVersion(const std::string& version, int revision);
    void SetIdText(std::optional<std::string> text) { config_.idText = std::move(text); }

    sim::Faults& Faults() { return faults_; }

    // Every frame parsed (with its trailing 0x00) and every reply chunk that
    // reached the line (with the cable's chip: every packet that left it), with times.
    const std::vector<WireRecord>& Frames() const { return frames_; }
    const std::vector<WireRecord>& Replies() const { return replies_; }

private:
    static constexpr std::uint8_t Ack = 0x5A;  // 'Z'
    static constexpr std::uint8_t Nak = 0xA5;
    static constexpr int BlockBytes = 128;
    static constexpr std::size_t LongestRequest = 4;  // with its trailing 0x00

    struct PendingByte { double time; std::uint8_t value; };
    // The first burst after a data deadline passed: held until the line is quiet.
    struct LateBurst { std::vector<std::uint8_t> bytes; double last; bool tooLong; };
    enum class Expect { Command, RecordData, ProfileData, Code1Data, Code2Data, ClockData };

    void RunTimersUpTo(double time);
    std::optional<double> NextTimer() const;
    void ProcessByte(double time, std::uint8_t value);
    void Parse(double time, std::uint8_t value);
    void JudgeLateBurst(double time);
    void ResetFraming();
    void HandleFrame(double time, const std::vector<std::uint8_t>& frame);
    std::vector<std::uint8_t> Serve(double time, FrameTag tag, const std::vector<std::uint8_t>& frame, Expect data);
    std::vector<std::uint8_t> ServeHeader(std::uint8_t command, int address);
    std::vector<std::uint8_t> ServeData(double time, const std::vector<std::uint8_t>& frame, Expect kind);
    std::vector<std::uint8_t> CloseRegion(int region, int value);
    void StartOnEmptyMemory();
    std::vector<std::uint8_t> SetClockFrom(double time, const std::vector<std::uint8_t>& record);
    std::vector<std::uint8_t> ReadBlock(int unit) const;
    double QueueReply(double ready, const std::vector<std::uint8_t>& reply);
    void EnterMode(Mode mode, double until);
    void LosePower(double time, double offSeconds);
    bool Idle(double time) const;

    DeviceConfig config_;
    sim::Faults faults_;
    std::vector<std::uint8_t> memory_;
    Mode mode_ = Mode::PcMode;
    std::optional<std::pair<Mode, double>> pendingMode_;  // entered once the reply is out, for this long
    std::optional<double> modeUntil_;
    std::deque<PendingByte> input_;
    double inLineFree_ = 0;
    double outLineFree_ = 0;
    std::deque<WireRecord> output_;  // on the line, on its way to the cable's chip
    CableChip chip_;

    std::vector<std::uint8_t> partial_;
    Expect expect_ = Expect::Command;
    double expectDeadline_ = 0;
    std::optional<LateBurst> late_;
    double lastByteTime_ = 0;
    int dataAddress_ = 0;
    bool heardFrame_ = false;
    double lastActivity_ = 0;
    double nextStray_ = 0;

    std::map<int, std::vector<std::uint8_t>> held_[2];
    std::map<int, std::vector<std::uint8_t>> committed_[2];
    std::optional<int> code2Word_;
    std::optional<DeviceClock> clock_;
    int restarts_ = 0;
    std::pair<std::string, int> beforeCommit_;
    bool bootsNewCode_ = false;  // committed; the faults waiting for the restart not yet armed
    std::vector<WireRecord> frames_;
    std::vector<WireRecord> replies_;
};

}  // namespace sim
