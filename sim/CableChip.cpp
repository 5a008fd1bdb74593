#include "sim/CableChip.h"

#include <algorithm>
#include <cmath>

namespace sim {

void CableChip::Put(const WireRecord& chunk) {
    for (std::uint8_t value : chunk.bytes) held_.push_back({chunk.time, value});
}

std::optional<double> CableChip::NextPacketTime() const {
    if (held_.empty()) return std::nullopt;
    // The first beat that finds a byte in the buffer.
    const double beats = std::max(1.0, std::ceil((held_.front().time - lastPacket_) / timer_));
    const double beat = lastPacket_ + beats * timer_;
    if (held_.size() >= PacketBytes && held_[PacketBytes - 1].time <= beat) return held_[PacketBytes - 1].time;
    return beat;
}

std::vector<WireRecord> CableChip::Take(double time) {
    std::vector<WireRecord> packets;
    for (auto at = NextPacketTime(); at && *at <= time; at = NextPacketTime()) {
        WireRecord packet{*at, {}};
        while (!held_.empty() && held_.front().time <= *at && packet.bytes.size() < PacketBytes) {
            packet.bytes.push_back(held_.front().value);
            held_.pop_front();
        }
        lastPacket_ = *at;
        // A byte a rounding error late for its beat goes with the next one.
        if (!packet.bytes.empty()) packets.push_back(std::move(packet));
    }
    return packets;
}

}  // namespace sim
