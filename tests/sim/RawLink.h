#pragma once

// Talks to the emulated device with raw bytes through the virtual-time
// harness, the way a test sees the wire: no product link code involved.

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
inline const Bytes RevisionZero{Z, 0};  // the 0xBA reply of a default device

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
        frame.push_back(0x00);
        return Send(frame, expected, timeout);
    }

    // Puts the bytes on the line as they are, nothing appended.
    Bytes Send(const Bytes& bytes, std::size_t expected, double timeout) {
        received.clear();
        harness.Port().Write(bytes);
        return WaitFor(expected, timeout);
    }

    Bytes WaitFor(std::size_t expected, double timeout) {
        const double deadline = harness.Now() + timeout;
        while (received.size() < expected && harness.Now() < deadline) harness.Pump().Yield(deadline);
        return received;
    }

    // The 16-character identification text, or "" when the reply is not 'Z' and 17 more bytes.
    std::string IdText(double timeout = 1.0) {
        const Bytes reply = Exchange({0x84}, 18, timeout);
        if (reply.size() != 18 || reply[0] != Z) return "";
        return std::string(reply.begin() + 1, reply.end() - 1);
    }

    // Asks for the identification just before `moment` and for the revision
    // just after it: returns what came of both.
    Bytes AskAround(double moment, double margin) {
        harness.At(moment - margin, [this] { harness.Port().Write(Bytes{0x84, 0x00}); });
        harness.At(moment + margin, [this] { harness.Port().Write(Bytes{0xBA, 0x00}); });
        received.clear();
        return WaitFor(2, 2 * margin + (moment - harness.Now()) + 1.0);
    }

    static Bytes Header(std::uint8_t command, int unit) {
        return {command, static_cast<std::uint8_t>((unit >> 8) & 0xFF), static_cast<std::uint8_t>(unit & 0xFF)};
    }

    // Header then data, as a block write goes.
    Bytes WriteBlock(std::uint8_t command, int unit, Bytes data) {
        Bytes header = Exchange(Header(command, unit));
        if (header != Bytes{Z}) return header;
        return Exchange(std::move(data));
    }

    // Whether memory holds the first `length` bytes of `data` from `byteAddress` on.
    bool MemoryHolds(const Bytes& data, std::size_t byteAddress, std::size_t length = 128) {
        const auto& memory = harness.Dev().Memory();
        return byteAddress + length <= memory.size() &&
               std::equal(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(length),
                          memory.begin() + static_cast<std::ptrdiff_t>(byteAddress));
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
    int chunks = 0;
};

}  // namespace simtest
