#pragma once

// Talks to the emulated device with raw bytes through the virtual-time
// harness, the way a test sees the wire: no product link code involved.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/Memory.h"
#include "sim/VirtualHarness.h"

namespace simtest {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t Z = 0x5A;
constexpr std::uint8_t Nak = 0xA5;
inline const Bytes Id{0x84}, Ba{0xBA};
inline const Bytes RevisionZero{Z, 0};  // the 0xBA reply of a default device

template <typename T>
std::vector<T> Cat(std::vector<T> a, const std::vector<T>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The reply to a read of the 128 bytes from `from` on.
template <typename It>
Bytes ReadReply(It from) {
    return Cat({Z}, Bytes(from, from + 128));
}

// A request (without its 0x00 unless raw; none: only wait) and all that
// comes back within `wait` seconds.
struct Step {
    Bytes frame;
    Bytes reply;
    double wait = 0.1;
    bool raw = false;
};

class RawLink {
public:
    explicit RawLink(sim::DeviceConfig config = {}) : harness(std::move(config)) {
        harness.Port().SetDataReceived([this](std::span<const std::uint8_t> chunk) {
            received.insert(received.end(), chunk.begin(), chunk.end());
        });
        std::string error;
        harness.Port().Open(&error);
    }

    // Waits (virtually) until `expected` bytes have come or `timeout` seconds have passed.
    Bytes WaitFor(std::size_t expected, double timeout) {
        const double deadline = harness.Now() + timeout;
        while (received.size() < expected && harness.Now() < deadline) harness.Pump().Yield(deadline);
        return received;
    }

    // Sends each step's frame and waits for a byte too many, so an extra one shows.
    void Play(const std::vector<Step>& steps) {
        for (const Step& s : steps) {
            received.clear();
            if (!s.frame.empty()) harness.Port().Write(s.raw ? s.frame : Cat(s.frame, {0x00}));
            EXPECT_EQ(WaitFor(s.reply.size() + 1, s.wait), s.reply) << "after " << testing::PrintToString(s.frame);
        }
    }

    // The 0x84 reply that carries this 16-character text.
    static Bytes IdReply(const std::string& text) {
        Bytes reply(18, Z);
        std::copy_n(text.begin(), 16, reply.begin() + 1);
        reply[17] = sim::ByteSum(&reply[1], 16);
        return reply;
    }

    static Bytes Header(std::uint8_t command, int unit) {
        return {command, static_cast<std::uint8_t>((unit >> 8) & 0xFF), static_cast<std::uint8_t>(unit & 0xFF)};
    }

    // 128 bytes and a check byte; the profile check byte is their sum.
    static Bytes Block(std::uint8_t seed, int checkByte = -1) {
        Bytes block(128);
        for (int i = 0; i < 128; ++i) block[i] = static_cast<std::uint8_t>(seed + i * 7);
        block.push_back(checkByte < 0 ? sim::ByteSum(block.data(), 128) : static_cast<std::uint8_t>(checkByte));
        return block;
    }

    // A code block that declares its version and revision in bytes 0..2.
    static Bytes CodeBlock(const char* version, std::uint8_t revision, std::uint8_t checkByte) {
        Bytes block = Block(0x10, checkByte);
        std::copy_n(version, 2, block.begin());
        block[2] = revision;
        return block;
    }

    sim::VirtualHarness harness;
    Bytes received;
};

}  // namespace simtest
