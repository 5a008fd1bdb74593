// The device's side of the line: time, bytes in, framing, replies out.
#include <algorithm>
#include <cmath>

#include "sim/Device.h"

namespace sim {
namespace {

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

}  // namespace

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
    auto consider = [&next](double t) {
        if (!next || t < *next) next = t;
    };
    if (mode_ != Mode::PcMode && modeUntil_ && std::isfinite(*modeUntil_)) consider(*modeUntil_);
    if (late_) consider(late_->last + config_.burstGap);
    if (faults_.StrayPeriod() > 0 && heardFrame_ && mode_ == Mode::PcMode)
        consider(std::max(nextStray_, lastActivity_ + faults_.StrayPeriod()));
    return next;
}

// Runs whichever timer is due at `time` (the earliest one, from NextTimer).
void Device::RunTimersUpTo(double time) {
    if (mode_ != Mode::PcMode && modeUntil_ && *modeUntil_ <= time) {
        const Mode ending = mode_;
        mode_ = Mode::PcMode;
        modeUntil_.reset();
        ResetFraming();
        lastActivity_ = time;
        if (ending == Mode::Restarting || ending == Mode::PoweredOff) {
            held_[0].clear();
            held_[1].clear();
            // The committed code has started, also after a power loss cut its restart short.
            if (bootsNewCode_) {
                bootsNewCode_ = false;
                faults_.OnRestarted();
            }
        }
        return;
    }
    if (late_ && late_->last + config_.burstGap <= time) {
        JudgeLateBurst(time);
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
    if (const auto packet = chip_.NextPacketTime()) consider(*packet);
    return next;
}

std::vector<WireRecord> Device::TakeReplies(double time) {
    std::vector<WireRecord> due;
    while (!output_.empty() && output_.front().time <= time) {
        WireRecord chunk = std::move(output_.front());
        output_.pop_front();
        if (faults_.Unplugged(chunk.time)) continue;  // sent into a pulled cable
        if (chip_.On()) {
            chip_.Put(chunk);
            continue;
        }
        replies_.push_back(chunk);
        due.push_back(std::move(chunk));
    }
    for (auto& packet : chip_.Take(time)) {
        replies_.push_back(packet);
        due.push_back(std::move(packet));
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
    return mode_ == Mode::PcMode && partial_.empty() && !expecting && !late_ &&
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
    late_.reset();
}

// --- framing

void Device::ProcessByte(double time, std::uint8_t value) {
    if (mode_ != Mode::PcMode || faults_.Unplugged(time)) return;
    lastActivity_ = time;
    // A frame left unfinished is forgotten: the program has given up on it and resends.
    if (!partial_.empty() && time - lastByteTime_ > config_.frameTimeout) ResetFraming();
    lastByteTime_ = time;
    // Data that comes after its deadline is not parsed at once: it may be a
    // header resent after a lost acknowledgement, or the data frame, late,
    // whose bytes must never run as requests. The burst decides.
    if (!late_ && partial_.empty() && expect_ != Expect::Command && time > expectDeadline_)
        late_ = LateBurst{{}, time, false};
    if (late_) {
        late_->last = time;
        if (!late_->tooLong) late_->bytes.push_back(value);
        if (late_->bytes.size() > LongestRequest) {
            late_->tooLong = true;
            late_->bytes.clear();
        }
        return;
    }
    Parse(time, value);
}

// The line went quiet after a late burst: as short as a request, it is read
// as requests; longer, it was data for a header given up on, and is dropped
// without a reply.
void Device::JudgeLateBurst(double time) {
    const LateBurst burst = std::move(*late_);
    late_.reset();
    expect_ = Expect::Command;
    lastByteTime_ = time;
    if (burst.tooLong) return;
    for (std::uint8_t b : burst.bytes) {
        Parse(time, b);
        if (mode_ != Mode::PcMode) break;
    }
}

void Device::Parse(double time, std::uint8_t value) {
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
    const Faults::FrameFaults fault = faults_.OnFrame(time, tag, frame);
    if (fault.unplugs) {
        ResetFraming();
        if (fault.powerOff) LosePower(time, *fault.powerOff);
        return;
    }
    heardFrame_ = true;
    frames_.push_back({time, frame});

    pendingMode_.reset();
    std::vector<std::uint8_t> reply;
    if (fault.reject || faults_.TakeReject(tag)) {
        reply = {Nak};
    } else {
        reply = Serve(time, tag, frame, was);
    }
    if (fault.powerOff) {
        LosePower(time, *fault.powerOff);
        return;
    }
    const double ready = time + faults_.Latency().value_or(config_.replyLatency) + fault.delay;
    double done = ready;
    if (!reply.empty() && !faults_.TakeDrop(tag)) {
        faults_.ShapeReply(tag, reply);
        if (fault.reshape) fault.reshape(reply);
        if (!reply.empty()) done = QueueReply(ready, reply);
    }
    if (expect_ != Expect::Command) expectDeadline_ = done + config_.dataTimeout;
    if (pendingMode_) {
        const double until = done + pendingMode_->second;
        EnterMode(pendingMode_->first, until);
        pendingMode_.reset();
    }
}

// The device has acted on what it heard; held code and whatever has not
// left it yet are gone, data memory and committed code stay.
void Device::LosePower(double time, double offSeconds) {
    held_[0].clear();
    held_[1].clear();
    pendingMode_.reset();
    while (!output_.empty() && output_.back().time > time) output_.pop_back();
    outLineFree_ = std::min(outLineFree_, time);
    EnterMode(Mode::PoweredOff, time + offSeconds);
}

double Device::QueueReply(double ready, const std::vector<std::uint8_t>& reply) {
    const std::size_t size = faults_.ChunkSize() > 0 ? static_cast<std::size_t>(faults_.ChunkSize()) : reply.size();
    double t = std::max(ready, outLineFree_);
    for (std::size_t at = 0; at < reply.size(); at += size) {
        const std::size_t n = std::min(size, reply.size() - at);
        if (at > 0) t += faults_.ChunkGap();
        // The cable's chip acts on each byte as it comes off the line.
        const std::size_t step = chip_.On() && config_.wireTiming ? 1 : n;
        for (std::size_t i = at; i < at + n; i += step) {
            if (config_.wireTiming) t += static_cast<double>(step) * ByteSeconds;
            output_.push_back({t, std::vector<std::uint8_t>(reply.begin() + static_cast<std::ptrdiff_t>(i),
                                                            reply.begin() + static_cast<std::ptrdiff_t>(i + step))});
        }
    }
    outLineFree_ = t;
    lastActivity_ = std::max(lastActivity_, t);
    return t;
}

}  // namespace sim
