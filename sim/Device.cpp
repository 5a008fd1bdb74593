#include "sim/Device.h"

#include <algorithm>
#include <cmath>

#include "sim/Memory.h"

namespace sim {
namespace {

constexpr std::uint8_t Ack = 0x5A;  // 'Z'
constexpr std::uint8_t Nak = 0xA5;
constexpr int BlockBytes = 128;

// Request length with the command byte, without the trailing 0x00; 0 for a
// byte that starts no command.
int CommandLength(std::uint8_t command) {
    switch (command) {
    case 0x84: case 0xBA: case 0x97: return 1;
    case 0xA8: return 2;
    case 0xB4: case 0xB2: case 0xB5: case 0xB7: case 0xB6: case 0xB8: case 0xB9: return 3;
    default: return 0;
    }
}

int FromBcd(std::uint8_t b) { return (b >> 4) * 10 + (b & 0x0F); }
bool IsBcd(std::uint8_t b) { return (b >> 4) <= 9 && (b & 0x0F) <= 9; }

}  // namespace

Device::Device(DeviceConfig config) : config_(std::move(config)), faults_(*this) {
    config_.memorySize = std::clamp(config_.memorySize, 4, 4096);
    config_.serialNumber = std::clamp(config_.serialNumber, 0, 999999);
    config_.codeVersion.resize(2, '0');
    config_.revision &= 0xFF;
    memory_ = BuildMemory(config_.memorySize, config_.serialNumber, config_.profileBlocks, config_.wrappedProfile,
                          config_.logbookSeed);
}

// --- identification

std::string Device::IdText() const {
    if (config_.idText) {
        std::string text = *config_.idText;
        text.resize(16, ' ');
        return text;
    }
    // Three blank-separated fields and no trailing blank: model key, then a
    // word ending in the code version, then the hardware field, which is
    // shortened or lengthened to make exactly 16 characters.
    std::string key = config_.modelKey;
    std::string second = "1D-V" + config_.codeVersion;
    std::string third = "H2";
    auto length = [&] { return key.size() + second.size() + third.size() + 2; };
    while (length() > 16 && third.size() > 1) third.pop_back();
    while (length() > 16 && second.size() > 2) second.erase(0, 1);
    if (length() > 16) key.resize(16 - 2 - second.size() - third.size());
    while (length() < 16) third.push_back('0');
    return key + " " + second + " " + third;
}

void Device::SetModelKey(const std::string& key) { config_.modelKey = key; }

void Device::SetCodeVersion(const std::string& version, int revision) {
    config_.codeVersion = version;
    config_.codeVersion.resize(2, '0');
    config_.revision = revision & 0xFF;
}

const std::map<int, std::vector<std::uint8_t>>& Device::HeldCode(int region) const {
    return held_[region == 2 ? 1 : 0];
}

const std::map<int, std::vector<std::uint8_t>>& Device::CommittedCode(int region) const {
    return committed_[region == 2 ? 1 : 0];
}

// --- time and transport

void Device::Receive(double time, std::span<const std::uint8_t> bytes) {
    for (std::uint8_t value : bytes) {
        double at = std::max(time, input_.empty() ? time : input_.back().time);
        if (config_.wireTiming) {
            at = std::max(at, inLineFree_) + ByteSeconds;
            inLineFree_ = at;
        }
        input_.push_back({at, value});
    }
}

std::optional<double> Device::NextTimer() const {
    std::optional<double> next;
    if (mode_ != Mode::PcMode && modeUntil_ && std::isfinite(*modeUntil_)) next = modeUntil_;
    if (faults_.StrayPeriod() > 0 && heardFrame_ && mode_ == Mode::PcMode) {
        const double stray = std::max(nextStray_, lastActivity_ + faults_.StrayPeriod());
        if (!next || stray < *next) next = stray;
    }
    return next;
}

void Device::RunTimersUpTo(double time) {
    if (mode_ != Mode::PcMode && modeUntil_ && *modeUntil_ <= time) {
        const Mode ending = mode_;
        mode_ = Mode::PcMode;
        modeUntil_.reset();
        ResetFraming();
        if (ending == Mode::Restarting || ending == Mode::PoweredOff) {
            held_[0].clear();
            held_[1].clear();
        }
        lastActivity_ = time;
        return;
    }
    if (faults_.StrayPeriod() > 0 && heardFrame_ && mode_ == Mode::PcMode) {
        const double due = std::max(nextStray_, lastActivity_ + faults_.StrayPeriod());
        if (due <= time) {
            if (Idle(due) && !faults_.StrayBytes().empty()) {
                output_.push_back({due, faults_.StrayBytes()});
                outLineFree_ = std::max(outLineFree_, due);
            }
            nextStray_ = due + faults_.StrayPeriod();
        }
    }
}

void Device::AdvanceTo(double time) {
    for (;;) {
        const auto timer = NextTimer();
        const bool inputDue = !input_.empty() && input_.front().time <= time;
        const bool timerDue = timer && *timer <= time;
        if (!inputDue && !timerDue) break;
        if (timerDue && (!inputDue || *timer <= input_.front().time)) {
            RunTimersUpTo(*timer);
        } else {
            const PendingByte b = input_.front();
            input_.pop_front();
            ProcessByte(b.time, b.value);
        }
    }
}

std::optional<double> Device::NextEventTime() const {
    std::optional<double> next = NextTimer();
    auto consider = [&next](double t) {
        if (!next || t < *next) next = t;
    };
    if (!input_.empty()) consider(input_.front().time);
    if (!output_.empty()) consider(output_.front().time);
    return next;
}

std::vector<WireRecord> Device::TakeReplies(double time) {
    std::vector<WireRecord> due;
    while (!output_.empty() && output_.front().time <= time) {
        WireRecord chunk = std::move(output_.front());
        output_.pop_front();
        if (faults_.Unplugged(chunk.time)) continue;  // sent into a pulled cable
        replies_.push_back(chunk);
        due.push_back(std::move(chunk));
    }
    return due;
}

void Device::Wake(double time) {
    AdvanceTo(time);
    if (mode_ != Mode::DeepSleep) return;
    mode_ = Mode::PcMode;
    modeUntil_.reset();
    ResetFraming();
    lastActivity_ = time;
}

bool Device::Idle(double time) const {
    const bool expecting = expect_ != Expect::Command && time <= expectDeadline_;
    return mode_ == Mode::PcMode && partial_.empty() && !expecting &&
           (output_.empty() || output_.back().time <= time) && !faults_.Unplugged(time);
}

void Device::EnterMode(Mode mode, double until) {
    mode_ = mode;
    modeUntil_ = until;
    ResetFraming();
}

void Device::ResetFraming() {
    partial_.clear();
    expect_ = Expect::Command;
}

// --- framing

void Device::ProcessByte(double time, std::uint8_t value) {
    if (mode_ != Mode::PcMode || faults_.Unplugged(time)) return;
    lastActivity_ = time;
    // A frame left unfinished, or a data frame that never followed its
    // header, is forgotten: the program has given up on it and resends.
    if (!partial_.empty() && time - lastByteTime_ > config_.frameTimeout) ResetFraming();
    if (partial_.empty() && expect_ != Expect::Command && time > expectDeadline_) expect_ = Expect::Command;
    lastByteTime_ = time;

    std::deque<std::uint8_t> work{value};
    while (!work.empty()) {
        const std::uint8_t b = work.front();
        work.pop_front();
        if (partial_.empty() && expect_ == Expect::Command && CommandLength(b) == 0) continue;
        partial_.push_back(b);
        std::size_t needed = 0;
        switch (expect_) {
        case Expect::Command: needed = CommandLength(partial_[0]) + 1; break;
        case Expect::RecordData: needed = 17 + 1; break;
        case Expect::ClockData: needed = 9 + 1; break;
        default: needed = BlockBytes + 1 + 1; break;
        }
        if (partial_.size() < needed) continue;
        std::vector<std::uint8_t> frame = std::move(partial_);
        partial_.clear();
        if (frame.back() != 0x00) {
            // Not a frame: look for the next one from the byte after its start.
            expect_ = Expect::Command;
            work.insert(work.begin(), frame.begin() + 1, frame.end());
            continue;
        }
        HandleFrame(time, frame);
        if (mode_ != Mode::PcMode) break;  // asleep or restarting: the rest is not heard
    }
}

void Device::HandleFrame(double time, const std::vector<std::uint8_t>& frame) {
    const Expect was = expect_;
    expect_ = Expect::Command;
    FrameTag tag = frame[0];
    switch (was) {
    case Expect::RecordData: tag = DataFrame(0xB2); break;
    case Expect::ProfileData: tag = DataFrame(0xB5); break;
    case Expect::Code1Data: tag = DataFrame(0xB5); break;
    case Expect::Code2Data: tag = DataFrame(0xB7); break;
    case Expect::ClockData: tag = DataFrame(0x97); break;
    case Expect::Command: break;
    }
    if (faults_.OnFrameUnplugs(time)) {
        ResetFraming();
        return;
    }
    heardFrame_ = true;
    frames_.push_back({time, frame});

    pendingMode_.reset();
    std::vector<std::uint8_t> reply;
    if (faults_.TakeReject(tag)) {
        reply = {Nak};
    } else {
        reply = Serve(time, tag, frame, was);
    }
    const double ready = time + faults_.Latency().value_or(config_.replyLatency);
    double done = ready;
    if (!reply.empty() && !faults_.TakeDrop(tag)) done = QueueReply(ready, reply);
    if (expect_ != Expect::Command) expectDeadline_ = done + config_.dataTimeout;
    if (pendingMode_) {
        const double until = done + pendingMode_->second;
        EnterMode(pendingMode_->first, until);
        pendingMode_.reset();
    }
}

double Device::QueueReply(double ready, const std::vector<std::uint8_t>& reply) {
    const std::size_t size = faults_.ChunkSize() > 0 ? static_cast<std::size_t>(faults_.ChunkSize()) : reply.size();
    double t = std::max(ready, outLineFree_);
    for (std::size_t at = 0; at < reply.size(); at += size) {
        const std::size_t n = std::min(size, reply.size() - at);
        if (at > 0) t += faults_.ChunkGap();
        if (config_.wireTiming) t += static_cast<double>(n) * ByteSeconds;
        output_.push_back({t, std::vector<std::uint8_t>(reply.begin() + static_cast<std::ptrdiff_t>(at),
                                                        reply.begin() + static_cast<std::ptrdiff_t>(at + n))});
    }
    outLineFree_ = t;
    lastActivity_ = std::max(lastActivity_, t);
    return t;
}

// --- commands

std::vector<std::uint8_t> Device::Serve(double time, FrameTag tag, const std::vector<std::uint8_t>& frame,
                                        Expect data) {
    if (tag >= 0x100) return ServeData(time, frame, data);
    const int value = frame.size() >= 4 ? frame[1] * 256 + frame[2] : 0;
    switch (tag) {
    case 0x84: {
        std::vector<std::uint8_t> reply{Ack};
        const std::string text = IdText();
        reply.insert(reply.end(), text.begin(), text.end());
        reply.push_back(ByteSum(reply.data() + 1, 16));
        return reply;
    }
    case 0xA8:
        if (frame[1] == 0x55) {
            pendingMode_ = {Mode::DeepSleep, config_.autoWakeSeconds > 0 ? config_.autoWakeSeconds : Forever};
            return {Ack};
        }
        return {frame[1] == 0x99 ? Ack : Nak};
    case 0xBA: return {Ack, static_cast<std::uint8_t>(config_.revision)};
    case 0xB4: return ReadBlock(value);
    case 0xB2: case 0xB5: case 0xB7: return ServeHeader(static_cast<std::uint8_t>(tag), value);
    case 0xB6: return CloseRegion(1, value);
    case 0xB9: return CloseRegion(2, value);
    case 0xB8:
        code2Word_ = value;
        return {Ack};
    case 0x97:
        expect_ = Expect::ClockData;
        return {Ack};
    default: return {};
    }
}

std::vector<std::uint8_t> Device::ReadBlock(int unit) const {
    if (unit + 8 > DataUnits()) return {Nak};
    std::vector<std::uint8_t> reply{Ack};
    for (int i = 0; i < BlockBytes; ++i) {
        const int address = unit * 16 + i;
        reply.push_back(static_cast<std::uint8_t>(memory_[static_cast<std::size_t>(address)] ^ faults_.ReadMask(address)));
    }
    return reply;
}

// The address map: data memory is units 0..DataUnits()-1. Profile blocks
// travel with their address minus 16; everything else a 0xB5 header names is
// region-1 code, and 0xB7 always names region-2 code.
std::vector<std::uint8_t> Device::ServeHeader(std::uint8_t command, int address) {
    switch (command) {
    case 0xB2:
        if (address >= DataUnits()) return {Nak};
        expect_ = Expect::RecordData;
        dataAddress_ = address;
        return {Ack};
    case 0xB5:
        if (address + 16 < DataUnits()) {
            // A profile block must fit wholly into data memory.
            if (address + 16 + 8 > DataUnits()) return {Nak};
            expect_ = Expect::ProfileData;
            dataAddress_ = address + 16;
        } else {
            expect_ = Expect::Code1Data;
            dataAddress_ = address;
        }
        return {Ack};
    default:  // 0xB7
        if (address < DataUnits()) return {Nak};
        expect_ = Expect::Code2Data;
        dataAddress_ = address;
        return {Ack};
    }
}

std::vector<std::uint8_t> Device::ServeData(double time, const std::vector<std::uint8_t>& frame, Expect kind) {
    switch (kind) {
    case Expect::RecordData:
        if (ByteSum(frame.data(), 16) != frame[16]) return {Nak};
        std::copy_n(frame.begin(), 16, memory_.begin() + dataAddress_ * 16);
        return {Ack};
    case Expect::ProfileData:
        if (ByteSum(frame.data(), BlockBytes) != frame[BlockBytes]) return {Nak};
        std::copy_n(frame.begin(), BlockBytes, memory_.begin() + dataAddress_ * 16);
        return {Ack};
    case Expect::Code1Data:
    case Expect::Code2Data: {
        // Held by address: a block sent again replaces the earlier copy.
        held_[kind == Expect::Code1Data ? 0 : 1][dataAddress_].assign(frame.begin(), frame.begin() + BlockBytes + 1);
        if (faults_.OnCodeBlockLosesPower()) {
            held_[0].clear();
            held_[1].clear();
            pendingMode_ = {Mode::PoweredOff, faults_.PowerOffSeconds()};
        }
        return {Ack};
    }
    case Expect::ClockData: return SetClockFrom(time, frame);
    case Expect::Command: break;
    }
    return {};
}

std::vector<std::uint8_t> Device::CloseRegion(int region, int value) {
    auto& held = held_[region - 1];
    unsigned sum = 0;
    for (const auto& [address, block] : held) sum += block[BlockBytes];
    if (static_cast<int>(sum % 65536) != value) return {Nak};

    // The code carries its own version: bytes 0 and 1 of its lowest block
    // are the version characters, byte 2 the revision.
    if (!held.empty()) {
        const auto& first = held.begin()->second;
        config_.codeVersion = std::string{static_cast<char>(first[0]), static_cast<char>(first[1])};
        config_.revision = first[2];
    }
    committed_[region - 1] = std::move(held);
    held.clear();
    ++restarts_;
    pendingMode_ = {Mode::Restarting, faults_.RestartNeverEnds() ? Forever : config_.restartSeconds};
    return {Ack};
}

std::vector<std::uint8_t> Device::SetClockFrom(double time, const std::vector<std::uint8_t>& record) {
    if (ByteSum(record.data(), 8) != record[8]) return {Nak};
    const std::uint8_t hourByte = record[5];
    const bool afternoon = (hourByte & 0x80) != 0;
    const std::uint8_t hour12 = hourByte & 0x7F;
    bool valid = IsBcd(record[0]) && IsBcd(record[1]) && IsBcd(record[2]) && IsBcd(record[3]) &&
                 IsBcd(record[4]) && IsBcd(hour12);
    DeviceClock c;
    c.year = FromBcd(record[0]);
    c.day = FromBcd(record[1]);
    c.month = FromBcd(record[2]);
    c.second = FromBcd(record[3]);
    c.minute = FromBcd(record[4]);
    const int h = FromBcd(hour12);
    c.hour = afternoon ? (h == 12 ? 12 : h + 12) : h;
    c.flag = record[6];
    c.setAt = time;
    valid = valid && c.day >= 1 && c.day <= 31 && c.month >= 1 && c.month <= 12 && c.second <= 59 &&
            c.minute <= 59 && h <= 12 && !(afternoon && h == 0);
    // A record that passes its check is acknowledged; only a sensible one
    // sets the clock.
    if (valid) clock_ = c;
    return {Ack};
}

}  // namespace sim
