#pragma once

#include "link/LinkState.h"
#include "platform/Clock.h"
#include "platform/EventPump.h"
#include "platform/SerialPort.h"

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>

namespace pelora {

// A run-time error that an operation without its own handler passes on to its
// caller (a port that refuses a write, a value that does not fit its bytes).
class LinkRuntimeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The program's whole conversation with the dive computer.
//
// Every transaction sends a frame, then polls: it yields to the event pump
// until its next time-out (received bytes reach AssembleReply meanwhile),
// tests the flags, resends up to its limit and gives a verdict. Failure is
// reported through State().CommFailed; the stop flags LinkAbort and
// LinkCancel end a wait.
//
// Operations with their own error handler (SendBlockHeader, WriteBlock,
// SendChecksum, ReadMemoryBlocks, SendRecordHeader) meet a run-time error by
// setting both stop flags and ending quietly; all others throw
// LinkRuntimeError to their caller.
class CommModule {
public:
    // Registers AssembleReply as the port's data handler.
    CommModule(SerialPort& port, Clock& clock, EventPump& pump);
    ~CommModule();
    CommModule(const CommModule&) = delete;
    CommModule& operator=(const CommModule&) = delete;

    LinkState& State() { return state_; }
    const LinkState& State() const { return state_; }

    // Frames and reply assembly.
    void SendTxBuffer(std::int16_t Count);                  // may throw LinkRuntimeError
    void AssembleReply(std::span<const std::uint8_t> Data);

    // Memory and code transfers. Addresses are 0..32767 (16-byte units),
    // values 0..65535.
    bool SendBlockHeader(std::int32_t Address, std::uint8_t Command);
    void WriteBlock(std::int32_t Address, std::uint8_t Command);
    void SendChecksum(std::uint8_t Command, std::int32_t Value);
    void SendCode2Word(std::int32_t Value);                 // may throw LinkRuntimeError
    void ReadMemoryBlocks(std::int32_t StartAddress, std::int32_t EndAddress);
    bool SendRecordHeader(std::int32_t Address);
    void WriteRecord(std::int32_t Address);                 // may throw LinkRuntimeError

    // Identification and control; each may throw LinkRuntimeError when the
    // port refuses a write.
    bool ReadDeviceId();
    // Collapses double blanks in IdText (written back), then checks it has at
    // least three blank-separated fields and contains ImageModelKey (letter
    // case ignored; an empty key matches nothing). Sets DeviceCodeVersion
    // from a three- or four-field text.
    bool CheckDeviceId(std::string& IdText, const std::string& ImageModelKey);
    bool SetSleepMode();
    std::uint8_t ReadCodeRevision();
    bool StartClockWrite();
    // DateText "mm/dd/yy", TimeText "hh:mm:ss" (24-hour), Flag 0..255.
    // Throws LinkRuntimeError for a field that is not a two-digit number.
    void SetDeviceClock(const std::string& DateText, const std::string& TimeText, int Flag);
    // A pause that lets no event run.
    void Delay(double Seconds);

    // How long the line must stay quiet before replies to earlier sends of a
    // resent request are taken as lost. A device answers within
    // milliseconds; a reply later than this cannot be told from the answer
    // to the next request.
    static constexpr double SettleQuietSeconds = 3.0;

    std::string DeviceIdText;       // 16 characters as last read
    std::string DeviceCodeVersion;  // 2 characters, cut from the identification
    bool DeepSleepRequest = false;

private:
    // The link flags a transaction can test, as bits.
    enum LinkFlag : unsigned {
        kReplyDone = 1u << 0,
        kLinkCancel = 1u << 1,
        kLinkAbort = 1u << 2,
        kCommFailed = 1u << 3,
    };

    // One request and its wait: `send` (re)writes the request and sends it;
    // the poll resends on a time-out or a rejection until the reply
    // completes, a stop flag is seen or `limit` resends have gone out (the
    // last of them is not awaited).
    struct Transaction {
        double timeout = 0.0;               // seconds each try waits
        int limit = 0;                      // resends before giving up
        unsigned resendGuards = 0;          // any of these set blocks a time-out resend
        bool resendOnNak = false;           // a rejection resends at once and counts as a try
        bool replyBeforeResend = false;     // a completed reply blocks a rejection's resend too
        unsigned stopFlags = 0;             // any of these set ends the wait
        bool stopAfterTimeout = false;      // ...but only once the try's time-out has passed
        std::function<void()> send;
    };
    enum class TryEnd { ResendDue, WaitOver };

    // Sends the request, then awaits its reply; returns the resends made.
    int RunTransaction(const Transaction& transaction);
    // Awaits the reply to a request already sent, resending as due.
    int AwaitReply(const Transaction& transaction);
    // Polls until a resend falls due or the wait is over.
    TryEnd AwaitTry(const Transaction& transaction, int tries);
    bool ResendDue(const Transaction& transaction, int tries) const;
    bool WaitOver(const Transaction& transaction, int tries) const;
    bool AnySet(unsigned flags) const;
    // After a request resent on a time-out has been answered, the replies to
    // the earlier sends may still be on their way, and nothing in a reply
    // says which request it answers. Drops what arrives until the line has
    // been quiet for SettleQuietSeconds: a count of bytes would be fooled by
    // noise.
    void SettleLine();

    // One wait of a transaction: lets events run until something happens or
    // the try's time-out passes; returns the seconds since `start`.
    double Poll(double start, double timeout);
    // A new reply to `command`: nothing received, nothing complete.
    void ExpectReply(std::uint8_t command);
    // Sends TxBuf's first `length` bytes from a fresh start time.
    void SendRequest(std::int16_t length, bool clearPort);
    void ClearPortBuffers();
    void PutCommandWithWord(std::uint8_t command, std::int32_t word, std::int32_t limit);

    bool SendBlockHeaderUnguarded(std::int32_t address, std::uint8_t command);
    void WriteBlockUnguarded(std::int32_t address, std::uint8_t command);
    // One attempt of a block write: the header exchange, then the block;
    // false when the header failed and the write is over.
    bool SendHeaderAndBlock(std::int32_t address, std::uint8_t command);
    void SendClosingWord(std::uint8_t command, std::int32_t value);
    void ReadMemoryBlocksUnguarded(std::int32_t startAddress, std::int32_t endAddress);
    bool SendRecordHeaderUnguarded(std::int32_t address);

    SerialPort& port_;
    Clock& clock_;
    EventPump& pump_;
    LinkState state_;
    std::size_t bytesReceived_ = 0;  // every byte AssembleReply was given
};

// The clock record's nine bytes for a date "mm/dd/yy" and a time "hh:mm:ss"
// (24-hour): year, day, month, seconds, minutes, hour with afternoon flag,
// flag, 0, and the sum of the eight. Throws LinkRuntimeError for a field
// that is not a two-digit number, an hour beyond 23 or a flag beyond a byte.
std::array<std::uint8_t, 9> ClockRecord(const std::string& DateText, const std::string& TimeText, int Flag);

// The packed hour byte: 13..23 count as 1..11 with the afternoon bit (0x80)
// that hour 12 carries too.
std::uint8_t PackedHour(int Hour);

}  // namespace pelora
