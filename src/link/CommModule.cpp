#include "link/CommModule.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <vector>

namespace pelora {

namespace {

constexpr std::uint8_t kAccepted = 0x5A;  // 'Z'
constexpr std::uint8_t kRejected = 0xA5;
constexpr std::int16_t kIdle = -1;

constexpr std::uint8_t kIdentification = 0x84;
constexpr std::uint8_t kSleepMode = 0xA8;
constexpr std::uint8_t kCodeRevision = 0xBA;
constexpr std::uint8_t kBlockRead = 0xB4;
constexpr std::uint8_t kRecordHeader = 0xB2;
constexpr std::uint8_t kCode2Word = 0xB8;
constexpr std::uint8_t kClockWrite = 0x97;

constexpr std::uint8_t kDeepSleepMode = 0x55;
constexpr std::uint8_t kWakeMode = 0x99;

constexpr std::int32_t kMaxAddress = 32767;
constexpr std::int32_t kMaxWord = 65535;
constexpr std::int16_t kBlockFrameLength = 129;
constexpr std::int16_t kRecordFrameLength = 17;
constexpr std::int16_t kClockFrameLength = 9;
constexpr std::int32_t kIdentificationLength = 18;
constexpr std::int32_t kBlockReplyLength = 129;
constexpr std::int32_t kUnitsPerBlock = 8;
constexpr std::int32_t kLastReadAddress = 4095;

// A wait's deadline lies a hair beyond the time-out, so the poll that wakes
// at it finds the time-out passed (the tests compare with "greater than").
constexpr double kDeadlineMargin = 1e-6;

enum class ReplyRule { Identification, SleepMode, Revision, BlockRead, Write, Discard };

ReplyRule RuleFor(std::int16_t command)
{
    switch (command) {
    case kIdentification: return ReplyRule::Identification;
    case kSleepMode: return ReplyRule::SleepMode;
    case kCodeRevision: return ReplyRule::Revision;
    case kBlockRead: return ReplyRule::BlockRead;
    case 0xB2: case 0xB5: case 0xB6: case 0xB7: case 0xB8: case 0xB9: case 0x97:
        return ReplyRule::Write;
    default: return ReplyRule::Discard;
    }
}

std::uint8_t FirstByte(const std::vector<std::uint8_t>& buffer) { return buffer.empty() ? 0 : buffer[0]; }

std::uint8_t PackedBcd(int value) { return static_cast<std::uint8_t>((value / 10) * 16 + value % 10); }

// The two characters at 0-based `pos` as a number 0..99.
int TwoDigitField(const std::string& text, std::size_t pos, const char* what)
{
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    if (pos + 2 > text.size() || !isDigit(text[pos]) || !isDigit(text[pos + 1]))
        throw LinkRuntimeError(std::string("the clock's ") + what + " is not a two-digit number");
    return (text[pos] - '0') * 10 + (text[pos + 1] - '0');
}

int LastTwoDigits(const std::string& text, const char* what)
{
    if (text.size() < 2) throw LinkRuntimeError(std::string("the clock's ") + what + " is not a two-digit number");
    return TwoDigitField(text, text.size() - 2, what);
}

std::string ToLowerAscii(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Replaces every two blanks by one in a single left-to-right pass, so three
// blanks become two.
std::string CollapseDoubleBlanks(const std::string& text)
{
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        result += text[i];
        if (text[i] == ' ' && i + 1 < text.size() && text[i + 1] == ' ') ++i;
    }
    return result;
}

// Fields between single blanks; blanks at either end give empty fields.
std::vector<std::string> SplitAtBlanks(const std::string& text)
{
    std::vector<std::string> fields;
    if (text.empty()) return fields;
    std::size_t from = 0;
    for (;;) {
        const std::size_t blank = text.find(' ', from);
        fields.push_back(text.substr(from, blank == std::string::npos ? std::string::npos : blank - from));
        if (blank == std::string::npos) break;
        from = blank + 1;
    }
    return fields;
}

std::string LastTwoChars(const std::string& text) { return text.size() <= 2 ? text : text.substr(text.size() - 2); }

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

}  // namespace

CommModule::CommModule(SerialPort& port, Clock& clock, EventPump& pump)
    : port_(port), clock_(clock), pump_(pump)
{
    port_.SetDataReceived([this](std::span<const std::uint8_t> data) { AssembleReply(data); });
}

CommModule::~CommModule() { port_.SetDataReceived({}); }

// ---------------------------------------------------------------------------
// Frames and reply assembly

void CommModule::SendTxBuffer(std::int16_t Count)
{
    auto& s = state_;
    if (s.CurrentCommand == kIdle) return;
    if (Count < 1 || Count >= static_cast<std::int16_t>(s.TxBuf.size()))
        throw LinkRuntimeError("a request frame of " + std::to_string(Count) + " bytes");
    s.NakReceived = false;
    std::vector<std::uint8_t> frame(s.TxBuf.begin(), s.TxBuf.begin() + Count);
    frame.push_back(0x00);
    if (!port_.Write(frame)) throw LinkRuntimeError("the serial port refused the write");
}

void CommModule::AssembleReply(std::span<const std::uint8_t> Data)
{
    auto& s = state_;
    if (Data.empty()) return;
    const ReplyRule rule = RuleFor(s.CurrentCommand);
    if (rule == ReplyRule::Discard) {
        if (s.RxCount >= s.RxExpected) s.CurrentCommand = kIdle;
        return;
    }

    std::vector<std::uint8_t>& buffer = rule == ReplyRule::BlockRead ? s.RxBlockBuf : s.RxBuf;
    const bool restart = rule == ReplyRule::SleepMode || rule == ReplyRule::Revision;
    for (std::size_t k = 0; k < Data.size(); ++k) {
        const std::int64_t index = restart ? static_cast<std::int64_t>(k) : s.RxCount;
        // A misbehaving device may send more than the buffer holds: drop the excess.
        if (index >= 0 && static_cast<std::uint64_t>(index) < buffer.size()) buffer[static_cast<std::size_t>(index)] = Data[k];
        if (s.RxCount < INT32_MAX) ++s.RxCount;
    }

    if (FirstByte(buffer) == kRejected) {
        s.NakReceived = true;
        if (rule == ReplyRule::Write) s.ReplyDone = true;
    }

    const bool accepted = !buffer.empty() && buffer[0] == kAccepted;
    bool complete = false;
    switch (rule) {
    case ReplyRule::Identification: complete = s.RxCount >= s.RxExpected; break;
    case ReplyRule::SleepMode: complete = accepted && s.RxCount >= 1; break;
    case ReplyRule::Revision: complete = s.RxCount >= 2; break;
    case ReplyRule::BlockRead: complete = accepted && s.RxCount >= s.RxExpected; break;
    case ReplyRule::Write: complete = accepted && s.RxCount >= 1; break;
    case ReplyRule::Discard: break;
    }
    if (!complete) return;
    s.ReplyDone = true;
    // A write's code stays current so the data frame after its header is
    // judged by the same rule; every other completed reply ends the exchange.
    if (rule != ReplyRule::Write) s.CurrentCommand = kIdle;
}

// ---------------------------------------------------------------------------
// The transaction every command follows

int CommModule::RunTransaction(const Transaction& transaction)
{
    transaction.send();
    return AwaitReply(transaction);
}

int CommModule::AwaitReply(const Transaction& transaction)
{
    int tries = 0;
    while (AwaitTry(transaction, tries) == TryEnd::ResendDue) {
        ++tries;
        transaction.send();
        // Judged before the next poll: the last resend is not awaited, and a
        // rejection resends even when a stop flag is already set.
        if (WaitOver(transaction, tries)) break;
    }
    return tries;
}

CommModule::TryEnd CommModule::AwaitTry(const Transaction& transaction, int tries)
{
    for (;;) {
        state_.ElapsedTime = Poll(state_.StartTime, transaction.timeout);
        if (ResendDue(transaction, tries)) return TryEnd::ResendDue;
        if (WaitOver(transaction, tries)) return TryEnd::WaitOver;
    }
}

bool CommModule::ResendDue(const Transaction& transaction, int tries) const
{
    const auto& s = state_;
    if (transaction.replyBeforeResend && s.ReplyDone) return false;
    const bool timedOut =
        s.ElapsedTime > transaction.timeout && tries < transaction.limit && !AnySet(transaction.resendGuards);
    return timedOut || (transaction.resendOnNak && s.NakReceived);
}

bool CommModule::WaitOver(const Transaction& transaction, int tries) const
{
    const auto& s = state_;
    const bool stopped = AnySet(transaction.stopFlags) &&
                         (!transaction.stopAfterTimeout || s.ElapsedTime > transaction.timeout);
    return s.ReplyDone || stopped || tries >= transaction.limit;
}

bool CommModule::AnySet(unsigned flags) const
{
    const auto& s = state_;
    return ((flags & kReplyDone) && s.ReplyDone) || ((flags & kLinkCancel) && s.LinkCancel) ||
           ((flags & kLinkAbort) && s.LinkAbort) || ((flags & kCommFailed) && s.CommFailed);
}

// ---------------------------------------------------------------------------
// Helpers of every transaction

double CommModule::Poll(double start, double timeout)
{
    double deadline = start + timeout + kDeadlineMargin;
    const double now = clock_.Now();
    // Still waiting after the time-out (no resend allowed): wait another period
    // rather than spin.
    if (deadline <= now) deadline = now + timeout;
    pump_.Yield(deadline);
    return clock_.Now() - start;
}

void CommModule::ExpectReply(std::uint8_t command)
{
    state_.CurrentCommand = command;
    state_.RxCount = 0;
    state_.ReplyDone = false;
}

void CommModule::SendRequest(std::int16_t length, bool clearPort)
{
    if (clearPort) ClearPortBuffers();
    state_.StartTime = clock_.Now();
    SendTxBuffer(length);
}

void CommModule::ClearPortBuffers()
{
    port_.ClearInput();
    port_.ClearOutput();
}

void CommModule::PutCommandWithWord(std::uint8_t command, std::int32_t word, std::int32_t limit)
{
    if (word < 0 || word > limit)
        throw LinkRuntimeError("the value " + std::to_string(word) + " does not fit a request");
    state_.TxBuf[0] = command;
    state_.TxBuf[1] = static_cast<std::uint8_t>(word / 256);
    state_.TxBuf[2] = static_cast<std::uint8_t>(word % 256);
}

// ---------------------------------------------------------------------------
// Memory and code transfers

bool CommModule::SendBlockHeader(std::int32_t Address, std::uint8_t Command)
{
    return EndQuietlyOnError(state_, [&] { return SendBlockHeaderUnguarded(Address, Command); });
}

bool CommModule::SendBlockHeaderUnguarded(std::int32_t address, std::uint8_t command)
{
    auto& s = state_;
    const Transaction header{.timeout = 0.2,
                             .limit = 11,
                             .resendGuards = kReplyDone | kLinkCancel | kLinkAbort,
                             .resendOnNak = true,
                             .stopFlags = kLinkCancel | kLinkAbort,
                             .send = [&] {
                                 ExpectReply(command);
                                 PutCommandWithWord(command, address, kMaxAddress);
                                 SendRequest(3, true);
                             }};
    RunTransaction(header);
    if (s.ReplyDone && !s.NakReceived) return true;
    s.CommFailed = true;
    return false;
}

void CommModule::WriteBlock(std::int32_t Address, std::uint8_t Command)
{
    EndQuietlyOnError(state_, [&] { WriteBlockUnguarded(Address, Command); });
}

void CommModule::WriteBlockUnguarded(std::int32_t address, std::uint8_t command)
{
    // A failed block is not resent alone: every attempt repeats the header
    // exchange, and the fourth failure gives up without sending again.
    const Transaction dataPhase{.timeout = 1.0,
                                .limit = 4,
                                .resendGuards = kReplyDone | kLinkCancel | kLinkAbort,
                                .resendOnNak = true,
                                .stopFlags = kLinkCancel | kLinkAbort | kCommFailed,
                                .send = {}};  // each attempt sends itself, header first
    if (!SendHeaderAndBlock(address, command)) return;
    int attempts = 0;
    while (AwaitTry(dataPhase, attempts) == TryEnd::ResendDue) {
        if (++attempts >= dataPhase.limit) {
            state_.CommFailed = true;
            return;
        }
        if (!SendHeaderAndBlock(address, command)) return;
    }
}

bool CommModule::SendHeaderAndBlock(std::int32_t address, std::uint8_t command)
{
    auto& s = state_;
    s.LinkCancel = false;
    ClearPortBuffers();
    if (!SendBlockHeader(address, command) || s.CommFailed) return false;

    // The header's code stays current, so the write-group rule judges the block.
    std::copy(s.BlockBuf.begin(), s.BlockBuf.end(), s.TxBuf.begin());
    s.RxCount = 0;
    s.ReplyDone = false;
    s.NakReceived = false;
    s.StartTime = clock_.Now();
    ClearPortBuffers();
    SendTxBuffer(kBlockFrameLength);
    return true;
}

void CommModule::SendChecksum(std::uint8_t Command, std::int32_t Value)
{
    EndQuietlyOnError(state_, [&] { SendClosingWord(Command, Value); });
}

void CommModule::SendCode2Word(std::int32_t Value) { SendClosingWord(kCode2Word, Value); }

void CommModule::SendClosingWord(std::uint8_t command, std::int32_t value)
{
    auto& s = state_;
    s.LinkAbort = false;
    // The reply is not consulted before a resend: one that completes just as
    // the time-out passes is followed by one more request.
    const Transaction closingWord{.timeout = 1.0,
                                 .limit = 4,
                                  .resendGuards = kLinkAbort,
                                 .resendOnNak = true,
                                  .stopFlags = kLinkAbort,
                                  .send = [&] {
                                      s.RxExpected = 1;
                                      ExpectReply(command);
                                      PutCommandWithWord(command, value, kMaxWord);
                                      SendRequest(3, true);
                                  }};
    const int tries = RunTransaction(closingWord);
    if (tries >= closingWord.limit || s.LinkAbort) s.CommFailed = true;
}

void CommModule::ReadMemoryBlocks(std::int32_t StartAddress, std::int32_t EndAddress)
{
    EndQuietlyOnError(state_, [&] { ReadMemoryBlocksUnguarded(StartAddress, EndAddress); });
}

void CommModule::ReadMemoryBlocksUnguarded(std::int32_t startAddress, std::int32_t endAddress)
{
    auto& s = state_;
    s.LinkCancel = false;
    std::int32_t address = startAddress;
    auto request = [&](bool clearPort) {
        s.RxExpected = kBlockReplyLength;
        ExpectReply(kBlockRead);
        PutCommandWithWord(kBlockRead, address, kMaxAddress);
        SendRequest(3, clearPort);
    };
    auto copyBlockReply = [&] {
        const std::size_t end = std::min({std::size_t{130}, s.RxBuf.size(), s.RxBlockBuf.size()});
        for (std::size_t k = 1; k < end; ++k) s.RxBuf[k] = s.RxBlockBuf[k];
    };
    const Transaction blockRead{.timeout = 0.2,
                                .limit = 4,
                                .resendGuards = kReplyDone | kLinkCancel | kLinkAbort,
                                .resendOnNak = true,
                                .stopFlags = kLinkCancel | kLinkAbort,
                                .send = [&] { request(true); }};

    request(true);
    bool blockDone = false;
    for (;;) {
        int tries = AwaitReply(blockRead);
        if (s.ReplyDone) {
            copyBlockReply();
            address += kUnitsPerBlock;
            blockDone = true;
            // The next block's first request leaves the port's buffers alone.
            if (address <= endAddress) {
                tries = 0;
                request(false);
            }
        }
        // The address ends the read only once a block has arrived: a
        // single-block read waits for its block.
        const bool rangeDone = blockDone && (address >= endAddress || address == kLastReadAddress);
        const bool failed = s.LinkCancel || s.LinkAbort || tries >= blockRead.limit;
        if (failed) s.CommFailed = true;
        if (failed || rangeDone) return;
    }
}

bool CommModule::SendRecordHeader(std::int32_t Address)
{
    return EndQuietlyOnError(state_, [&] { return SendRecordHeaderUnguarded(Address); });
}

bool CommModule::SendRecordHeaderUnguarded(std::int32_t address)
{
    auto& s = state_;
    s.LinkCancel = false;
    // No resend on a rejection: it completes the write-group reply and ends
    // the exchange.
    const Transaction header{.timeout = 0.1,
                             .limit = 11,
                             .resendGuards = kReplyDone | kLinkCancel | kLinkAbort,
                             .stopFlags = kLinkCancel | kLinkAbort,
                             .send = [&] {
                                 ExpectReply(kRecordHeader);
                                 PutCommandWithWord(kRecordHeader, address, kMaxAddress);
                                 SendRequest(3, true);
                             }};
    RunTransaction(header);
    return s.ReplyDone && !s.NakReceived;
}

void CommModule::WriteRecord(std::int32_t Address)
{
    auto& s = state_;
    s.LinkCancel = false;
    ClearPortBuffers();
    if (!SendRecordHeader(Address)) return;

    if (!s.RxBuf.empty()) s.RxBuf[0] = 0;
    // The record goes out under 0xB2, still current; its resends leave the
    // port's buffers alone.
    const Transaction dataPhase{.timeout = 0.2,
                                .limit = 11,
                                .resendGuards = kReplyDone | kLinkCancel,
                                .resendOnNak = true,
                                .stopFlags = kLinkCancel,
                                .send = [&] {
                                    std::copy_n(s.BlockBuf.begin(), kRecordFrameLength, s.TxBuf.begin());
                                    s.RxCount = 0;
                                    s.ReplyDone = false;
                                    SendRequest(kRecordFrameLength, false);
                                }};
    const int tries = RunTransaction(dataPhase);
    if (s.LinkCancel || tries >= dataPhase.limit) s.CommFailed = true;
}

// ---------------------------------------------------------------------------
// Identification and control

bool CommModule::ReadDeviceId()
{
    auto& s = state_;
    const Transaction identification{.timeout = 2.0,
                                     .limit = 11,
                                     .resendGuards = kReplyDone | kLinkCancel,
                                    .resendOnNak = true,
                                     .stopFlags = kLinkCancel,
                                     .send = [&] {
                                         s.RxExpected = kIdentificationLength;
                                         ExpectReply(kIdentification);
                                         s.TxBuf[0] = kIdentification;
                                         SendRequest(1, true);
                                     }};
    RunTransaction(identification);
    if (!s.ReplyDone) return false;

    // Reply bytes 1..16 are the text; the first and the last are not examined.
    std::string text;
    for (std::size_t k = 1; k <= 16 && k < s.RxBuf.size(); ++k) text += static_cast<char>(s.RxBuf[k]);
    DeviceIdText = text;
    return true;
}

bool CommModule::CheckDeviceId(std::string& IdText, const std::string& ImageModelKey)
{
    IdText = CollapseDoubleBlanks(IdText);
    const std::vector<std::string> fields = SplitAtBlanks(IdText);
    if (fields.size() < 3) return false;
    // An image without a model key must not pass any device.
    if (ImageModelKey.empty()) return false;
    if (ToLowerAscii(IdText).find(ToLowerAscii(ImageModelKey)) == std::string::npos) return false;
    if (fields.size() == 3) DeviceCodeVersion = LastTwoChars(fields[1]);
    if (fields.size() == 4) DeviceCodeVersion = LastTwoChars(fields[2]);
    return true;
}

bool CommModule::SetSleepMode()
{
    auto& s = state_;
    s.LinkAbort = false;
    s.CommFailed = false;
    s.RxExpected = 1;
    ExpectReply(kSleepMode);
    // The mode is read at every send; resends reset neither RxCount nor
    // ReplyDone, the reply rule judges each notification's first byte. A stop
    // request suppresses the resends and, once the try has timed out, ends the
    // wait: without that the wait for a silent device would never end.
    const Transaction sleepMode{.timeout = 1.0,
                                .limit = 4,
                                .resendGuards = kLinkAbort,
                                .resendOnNak = true,
                                .replyBeforeResend = true,
                                .stopFlags = kLinkAbort,
                                .stopAfterTimeout = true,
                                .send = [&] {
                                    s.TxBuf[0] = kSleepMode;
                                    s.TxBuf[1] = DeepSleepRequest ? kDeepSleepMode : kWakeMode;
                                    SendRequest(2, false);
                                }};
    const int resends = RunTransaction(sleepMode);
    if (resends >= sleepMode.limit || !s.ReplyDone) s.CommFailed = true;
    return !s.CommFailed;
}

std::uint8_t CommModule::ReadCodeRevision()
{
    auto& s = state_;
    const Transaction revision{.timeout = 1.0,
                               .limit = 11,
                               .resendGuards = kReplyDone | kLinkCancel,
                               .resendOnNak = true,
                               .stopFlags = kLinkCancel,
                               .send = [&] {
                                   s.RxExpected = 2;
                                   ExpectReply(kCodeRevision);
                                   s.TxBuf[0] = kCodeRevision;
                                   SendRequest(1, false);
                               }};
    RunTransaction(revision);
    if (!s.ReplyDone || s.RxBuf.size() < 2) return 0;
    return s.RxBuf[1];
}

bool CommModule::StartClockWrite()
{
    auto& s = state_;
    const Transaction clockWrite{.timeout = 0.1,
                                .limit = 4,
                                 .resendGuards = kReplyDone | kLinkCancel,
                                .resendOnNak = true,
                                 .stopFlags = kLinkCancel,
                                 .send = [&] {
                                     ExpectReply(kClockWrite);
                                     s.TxBuf[0] = kClockWrite;
                                     SendRequest(1, true);
                                 }};
    RunTransaction(clockWrite);
    return s.ReplyDone && !s.NakReceived;
}

void CommModule::SetDeviceClock(const std::string& DateText, const std::string& TimeText, int Flag)
{
    auto& s = state_;
    const std::array<std::uint8_t, 9> record = ClockRecord(DateText, TimeText, Flag);
    std::copy(record.begin(), record.end(), s.BlockBuf.begin());

    ClearPortBuffers();
    s.LinkCancel = false;
    if (!StartClockWrite()) {
        s.CommFailed = true;
        return;
    }

    // The record goes out under 0x97, which is still current; a rejection
    // completes the reply like an acceptance. Its clock starts after the send.
    const Transaction dataPhase{.timeout = 1.0,
                                .limit = 4,
                                .resendGuards = kReplyDone | kLinkCancel,
                                .stopFlags = kLinkCancel,
                                .send = [&] {
                                    s.ReplyDone = false;
                                    s.RxCount = 0;
                                    std::copy_n(s.BlockBuf.begin(), kClockFrameLength, s.TxBuf.begin());
                                    ClearPortBuffers();
                                    SendTxBuffer(kClockFrameLength);
                                    s.StartTime = clock_.Now();
                                }};
    const int tries = RunTransaction(dataPhase);
    if (!s.LinkCancel && tries >= dataPhase.limit) s.CommFailed = true;
}

void CommModule::Delay(double Seconds)
{
    const double start = clock_.Now();
    if (!(Seconds >= 0.0)) return;  // also NaN
    for (;;) {
        const double elapsed = clock_.Now() - start;
        if (elapsed > Seconds) return;
        clock_.Sleep(Seconds - elapsed + kDeadlineMargin);
    }
}

// ---------------------------------------------------------------------------
// Clock record

std::uint8_t PackedHour(int Hour)
{
    if (Hour < 0 || Hour > 23) throw LinkRuntimeError("the clock's hour " + std::to_string(Hour) + " is not an hour");
    const int twelveHour = Hour > 12 ? Hour - 12 : Hour;
    const int afternoon = Hour >= 12 ? 8 : 0;
    return static_cast<std::uint8_t>((twelveHour / 10 + afternoon) * 16 + twelveHour % 10);
}

std::array<std::uint8_t, 9> ClockRecord(const std::string& DateText, const std::string& TimeText, int Flag)
{
    if (Flag < 0 || Flag > 255) throw LinkRuntimeError("the clock flag " + std::to_string(Flag) + " is not a byte");
    std::array<std::uint8_t, 9> record{};
    record[0] = PackedBcd(LastTwoDigits(DateText, "year"));
    record[1] = PackedBcd(TwoDigitField(DateText, 3, "day"));
    record[2] = PackedBcd(TwoDigitField(DateText, 0, "month"));
    record[3] = PackedBcd(LastTwoDigits(TimeText, "seconds"));
    record[4] = PackedBcd(TwoDigitField(TimeText, 3, "minutes"));
    record[5] = PackedHour(TwoDigitField(TimeText, 0, "hour"));
    record[6] = static_cast<std::uint8_t>(Flag);
    record[7] = 0;
    unsigned sum = 0;
    for (std::size_t i = 0; i < 8; ++i) sum += record[i];
    record[8] = static_cast<std::uint8_t>(sum % 256);
    return record;
}

}  // namespace pelora
