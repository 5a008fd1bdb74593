#pragma once

// Talks to the emulated device with raw bytes through the virtual-time
// harness, the way a test sees the wire: no product link code involved.

#include <cstdint>
#include <vector>

#include "sim/Memory.h"
#include "sim/VirtualHarness.h"

namespace simtest {

using Bytes = std::vector<std::uint8_t>;

class RawLink {
public:
    explicit RawLink(sim::DeviceConfig config = {}) : harness(std::move(config)) {
        harness.Port().SetDataReceived([this](std::span<const std::uint8_t> chunk) {
            received.insert(received.end(), chunk.begin(), chunk.end());
            ++chunks;
        });
        std::string error;
        harness.Port().Open(&error);
    }

    // Sends the frame with its trailing 0x00, then waits (virtually) until
    // `expected` bytes have come or `timeout` seconds have passed.
    Bytes Exchange(Bytes frame, std::size_t expected = 1, double timeout = 1.0) {
        received.clear();
        frame.push_back(0x00);
        harness.Port().Write(frame);
        return WaitFor(expected, timeout);
    }

    Bytes WaitFor(std::size_t expected, double timeout) {
        const double deadline = harness.Now() + timeout;
        while (received.size() < expected && harness.Now() < deadline) harness.Pump().Yield(deadline);
        return received;
    }

    // Header then data, as a block write goes.
    Bytes WriteBlock(std::uint8_t command, int address, Bytes data) {
        Bytes header = Exchange({command, Hi(address), Lo(address)});
        if (header != Bytes{0x5A}) return header;
        return Exchange(std::move(data));
    }

    static std::uint8_t Hi(int value) { return static_cast<std::uint8_t>((value >> 8) & 0xFF); }
    static std::uint8_t Lo(int value) { return static_cast<std::uint8_t>(value & 0xFF); }

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
        block[0] = static_cast<std::uint8_t>(version[0]);
        block[1] = static_cast<std::uint8_t>(version[1]);
        block[2] = revision;
        return block;
    }

    sim::VirtualHarness harness;
    Bytes received;
    int chunks = 0;
};

}  // namespace simtest
