#pragma once

// Talks to the emulated device with raw bytes through the virtual-time
// harness, as the wire sees it: no product link code involved.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "sim/Memory.h"
#include "sim/VirtualHarness.h"

namespace simtest {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint8_t Z = 0x5A, Nak = 0xA5;
inline const Bytes Id{0x84}, Ba{0xBA}, RevisionZero{Z, 0};
inline const Bytes Fresh = sim::BuildMemory(512, 4711, 40);  // the default device's memory

template <typename T>
std::vector<T> Cat(std::vector<T> a, const std::vector<T>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
inline Bytes Header(std::uint8_t c, int unit) { return {c, std::uint8_t(unit >> 8 & 0xFF), std::uint8_t(unit & 0xFF)}; }
// `front` filled up to `n` bytes, then their sum (or `check`); code declares
// its version and revision in its first three bytes.
inline Bytes Block(Bytes front, int check = -1, std::size_t n = 128) {
    while (front.size() < n) front.push_back(static_cast<std::uint8_t>(front.size() * 7));
    front.push_back(check < 0 ? sim::ByteSum(front.data(), static_cast<int>(n)) : static_cast<std::uint8_t>(check));
    return front;
}
// A device configured by `set`.
inline sim::DeviceConfig With(auto set) { sim::DeviceConfig config; set(config); return config; }
inline Bytes ReadReply(const std::uint8_t* from) { return Cat({Z}, Bytes(from, from + 128)); }
inline Bytes IdReply(const std::string& text) { return Cat({Z}, Block(Bytes(text.begin(), text.end()), -1, 16)); }

// A request (its 0x00 added; none: only wait) and all that comes back within `wait` seconds.
struct Step { Bytes frame, reply; double wait = 0.1; };

struct RawLink {
    explicit RawLink(sim::DeviceConfig config = {}) : h(std::move(config)) {
        h.Port().SetDataReceived([this](auto chunk) {
            received.insert(received.end(), chunk.begin(), chunk.end());
            packets.emplace_back(chunk.size(), std::lround(h.Now() * 1e6));
        });
        h.Port().Open(nullptr);
    }
    // Waits for a byte more than expected, so an extra one shows.
    void Play(const std::vector<Step>& steps) {
        for (const Step& s : steps) {
            received.clear();
            if (!s.frame.empty()) h.Port().Write(Cat(s.frame, {0x00}));
            const double deadline = h.Now() + s.wait;
            while (received.size() <= s.reply.size() && h.Now() < deadline) h.Pump().Yield(deadline);
            EXPECT_EQ(received, s.reply) << "after " << testing::PrintToString(s.frame);
        }
    }
    sim::VirtualHarness h;
    Bytes received;
    std::vector<std::pair<std::size_t, long>> packets;  // as delivered: size, microseconds
};

}  // namespace simtest
