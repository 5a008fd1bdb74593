#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace sim {

// Bytes on the wire with the (device or virtual) time they were complete.
struct WireRecord {
    double time;
    std::vector<std::uint8_t> bytes;
};

// The USB serial chip in the cable, between the device's line and the
// program. It passes what it receives in USB packets: 62 bytes go as soon as
// they are in; fewer wait until its latency timer runs out. The timer restarts
// with every packet, and when it runs out on an empty buffer the chip sends a
// packet of status bytes only, so an idle chip beats on steadily from its last
// packet. A timer of 0 is no chip: chunks pass as they are.
class CableChip {
public:
    static constexpr std::size_t PacketBytes = 62;

    explicit CableChip(double latencyTimer) : timer_(latencyTimer) {}
    bool On() const { return timer_ > 0; }
    // Bytes from the line, complete at `chunk.time`; chunks come in time order.
    void Put(const WireRecord& chunk);
    // When the next packet with data leaves, if the chip holds any bytes.
    std::optional<double> NextPacketTime() const;
    // The packets that left by `time`, oldest first.
    std::vector<WireRecord> Take(double time);

private:
    struct Held { double time; std::uint8_t value; };

    double timer_;
    double lastPacket_ = 0.0;
    std::deque<Held> held_;
};

}  // namespace sim
