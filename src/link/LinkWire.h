#pragma once

// What the link's source files share: the protocol's bytes and lengths, and
// the error handler of the operations that have one.

#include "link/CommModule.h"

#include <cstdint>

namespace pelora::linkwire {

inline constexpr std::uint8_t kAccepted = 0x5A;  // 'Z'
inline constexpr std::uint8_t kRejected = 0xA5;
inline constexpr std::int16_t kIdle = -1;

inline constexpr std::uint8_t kIdentification = 0x84;
inline constexpr std::uint8_t kSleepMode = 0xA8;
inline constexpr std::uint8_t kCodeRevision = 0xBA;
inline constexpr std::uint8_t kBlockRead = 0xB4;
inline constexpr std::uint8_t kRecordHeader = 0xB2;
inline constexpr std::uint8_t kCode2Word = 0xB8;
inline constexpr std::uint8_t kClockWrite = 0x97;

inline constexpr std::uint8_t kDeepSleepMode = 0x55;
inline constexpr std::uint8_t kWakeMode = 0x99;

inline constexpr std::int32_t kMaxAddress = 32767;
inline constexpr std::int32_t kMaxWord = 65535;
inline constexpr std::int16_t kBlockFrameLength = 129;
inline constexpr std::int16_t kRecordFrameLength = 17;
inline constexpr std::int16_t kClockFrameLength = 9;
inline constexpr std::int32_t kIdentificationLength = 18;
inline constexpr std::int32_t kBlockReplyLength = 129;
inline constexpr std::int32_t kUnitsPerBlock = 8;
inline constexpr std::int32_t kLastReadAddress = 4095;

// A wait's deadline lies a hair beyond the time-out, so the poll that wakes
// at it finds the time-out passed (the tests compare with "greater than").
inline constexpr double kDeadlineMargin = 1e-6;

// Runs an operation that has its own error handler: a run-time error sets
// both stop flags and ends it quietly, with a false result where it has one.
// It is a failure too: a caller that tests CommFailed must not take a write
// the port refused for one that went through.
template <typename Operation>
auto EndQuietlyOnError(LinkState& state, Operation operation) -> decltype(operation())
{
    try {
        return operation();
    } catch (const LinkRuntimeError&) {
        state.LinkAbort = true;
        state.LinkCancel = true;
        state.CommFailed = true;
        return decltype(operation())();
    }
}

}  // namespace pelora::linkwire
