#include "sim/Faults.h"

#include <algorithm>

#include "sim/Device.h"

namespace sim {

void Faults::UnplugAtFrame(int frame, double duration) {
    unplugAtFrame_.push_back({framesSeen_ + std::max(frame, 1), duration});
}

void Faults::UnplugAt(double time, double duration) { unplugged_.push_back({time, time + duration}); }

void Faults::Reject(FrameTag tag, int count, int skip) { rejects_.push_back({tag, std::max(skip, 0), count}); }

void Faults::DropReplies(int count, std::optional<FrameTag> tag, int skip) {
    drops_.push_back({tag, std::max(skip, 0), count});
}

void Faults::ChunkReplies(int size, double gap) {
    chunkSize_ = std::max(size, 0);
    chunkGap_ = std::max(gap, 0.0);
}

void Faults::SetLatency(double seconds) { latency_ = std::max(seconds, 0.0); }

void Faults::StrayWhileIdle(double period, std::vector<std::uint8_t> bytes) {
    strayPeriod_ = std::max(period, 0.0);
    strayBytes_ = std::move(bytes);
}

void Faults::PowerLossAfterCodeBlock(int n, double offSeconds) {
    powerLossBlock_ = codeBlocksSeen_ + std::max(n, 1);
    powerOffSeconds_ = std::max(offSeconds, 0.0);
}

void Faults::PowerLossAtFrame(int frame, double offSeconds) {
    powerLosses_.push_back({framesSeen_ + std::max(frame, 1), std::max(offSeconds, 0.0)});
}

void Faults::NoReturnFromRestart() { noReturn_ = true; }

void Faults::AnotherModel(const std::string& modelKey) { device_.SetModelKey(modelKey); }

void Faults::CodeVersion(const std::string& version, int revision) {
    device_.SetCodeVersion(version, revision < 0 ? device_.Revision() : revision);
}

void Faults::CodeNotTaken() {
    const auto& [version, revision] = device_.VersionBeforeCommit();
    device_.SetCodeVersion(version, revision);
}

void Faults::BadCell(int byteAddress, std::uint8_t mask) { badCells_.emplace_back(byteAddress, mask); }

void Faults::DelayReplyToFrame(int frame, double seconds) {
    delays_.push_back({framesSeen_ + std::max(frame, 1), std::max(seconds, 0.0)});
}

void Faults::CorruptReplies(std::optional<FrameTag> tag, int count, int skip, int at, int bytes, std::uint8_t mask) {
    replyChanges_.push_back({Change::Corrupt, {tag, std::max(skip, 0), count}, at, std::max(bytes, 1), mask, {}});
}

void Faults::ShortReplies(std::optional<FrameTag> tag, int count, int skip, int bytes) {
    replyChanges_.push_back({Change::Short, {tag, std::max(skip, 0), count}, 0, std::max(bytes, 1), 0, {}});
}

void Faults::LongReplies(std::optional<FrameTag> tag, int count, int skip, std::vector<std::uint8_t> extra) {
    replyChanges_.push_back({Change::Long, {tag, std::max(skip, 0), count}, 0, 0, 0, std::move(extra)});
}

void Faults::NoiseBeforeReplies(std::optional<FrameTag> tag, int count, std::vector<std::uint8_t> noise, int skip) {
    replyChanges_.push_back({Change::Noise, {tag, std::max(skip, 0), count}, 0, 0, 0, std::move(noise)});
}

void Faults::FilterFrames(FrameFilter filter) { filter_ = std::move(filter); }

void Faults::AfterRestart(std::function<void(Faults&)> arm) { afterRestart_.push_back(std::move(arm)); }

void Faults::Clear() {
    unplugged_.clear();
    unplugAtFrame_.clear();
    rejects_.clear();
    drops_.clear();
    replyChanges_.clear();
    delays_.clear();
    powerLosses_.clear();
    afterRestart_.clear();
    filter_ = nullptr;
    latency_.reset();
    chunkSize_ = 0;
    chunkGap_ = 0.0;
    strayPeriod_ = 0.0;
    strayBytes_.clear();
    powerLossBlock_ = 0;
    noReturn_ = false;
    badCells_.clear();
}

bool Faults::Unplugged(double time) const {
    return std::any_of(unplugged_.begin(), unplugged_.end(),
                       [time](const Window& w) { return time >= w.from && time < w.to; });
}

Faults::FrameFaults Faults::OnFrame(double time, FrameTag tag, const std::vector<std::uint8_t>& frame) {
    ++framesSeen_;
    FrameFaults faults;
    // Takes the plans for this frame out of `plans`, calling `take` on each.
    auto due = [this](std::vector<FramePlan>& plans, auto take) {
        for (auto it = plans.begin(); it != plans.end();) {
            if (it->frame != framesSeen_) {
                ++it;
                continue;
            }
            take(it->duration);
            it = plans.erase(it);
        }
    };
    due(unplugAtFrame_, [&](double duration) {
        unplugged_.push_back({time, time + duration});
        faults.unplugs = true;
    });
    due(delays_, [&](double seconds) { faults.delay += seconds; });
    due(powerLosses_, [&](double off) { faults.powerOff = std::max(faults.powerOff.value_or(0.0), off); });
    if (filter_ && !faults.unplugs) filter_(tag, frame, faults);
    return faults;
}

bool Faults::TakeCounted(Counted& plan, FrameTag tag) {
    if (plan.count <= 0 || (plan.tag && *plan.tag != tag)) return false;
    if (plan.skip > 0) {
        --plan.skip;
        return false;
    }
    --plan.count;
    return true;
}

bool Faults::TakeCounted(std::vector<Counted>& plans, FrameTag tag) {
    for (auto& plan : plans)
        if (TakeCounted(plan, tag)) return true;
    return false;
}

bool Faults::TakeReject(FrameTag tag) { return TakeCounted(rejects_, tag); }
bool Faults::TakeDrop(FrameTag tag) { return TakeCounted(drops_, tag); }

// Each armed change acts on its own, in this order: corrupt the reply as
// served, cut it, lengthen it, put noise before it.
void Faults::ShapeReply(FrameTag tag, std::vector<std::uint8_t>& reply) {
    for (const Change change : {Change::Corrupt, Change::Short, Change::Long, Change::Noise}) {
        for (auto& c : replyChanges_) {
            if (c.change != change || !TakeCounted(c.plan, tag)) continue;
            const int size = static_cast<int>(reply.size());
            switch (change) {
            case Change::Corrupt: {
                const int from = c.at < 0 ? size + c.at : c.at;
                for (int i = std::max(from, 0); i < std::min(from + c.bytes, size); ++i)
                    reply[static_cast<std::size_t>(i)] ^= c.mask;
                break;
            }
            case Change::Short: reply.resize(static_cast<std::size_t>(std::max(size - c.bytes, 0))); break;
            case Change::Long: reply.insert(reply.end(), c.extra.begin(), c.extra.end()); break;
            case Change::Noise: reply.insert(reply.begin(), c.extra.begin(), c.extra.end()); break;
            }
        }
    }
}

bool Faults::OnCodeBlockLosesPower() {
    ++codeBlocksSeen_;
    if (powerLossBlock_ != 0 && codeBlocksSeen_ == powerLossBlock_) {
        powerLossBlock_ = 0;
        return true;
    }
    return false;
}

void Faults::OnRestarted() {
    // Moved out first: an arm may wait for the restart after this one.
    auto arms = std::move(afterRestart_);
    afterRestart_.clear();
    for (auto& arm : arms) arm(*this);
}

std::uint8_t Faults::ReadMask(int byteAddress) const {
    std::uint8_t mask = 0;
    for (const auto& [address, m] : badCells_)
        if (address == byteAddress) mask ^= m;
    return mask;
}

}  // namespace sim
