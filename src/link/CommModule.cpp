// The link: frames out, replies assembled from whatever chunks arrive.
#include "link/LinkWire.h"

#include <climits>
#include <vector>

namespace pelora {

using namespace linkwire;

namespace {

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
    bytesReceived_ += Data.size();
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

}  // namespace pelora
