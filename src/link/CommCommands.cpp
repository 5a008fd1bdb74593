// Identification, sleep mode, revision and the clock.
#include "link/LinkWire.h"

#include <cctype>
#include <string>
#include <vector>

namespace pelora {

using namespace linkwire;

namespace {

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

}  // namespace

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
