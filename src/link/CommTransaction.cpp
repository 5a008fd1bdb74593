// The pattern every command follows: send, wait, resend, give a verdict.
#include "link/LinkWire.h"

#include <vector>

namespace pelora {

using namespace linkwire;

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
    bool unanswered = false;  // a send whose reply may still come
    while (AwaitTry(transaction, tries) == TryEnd::ResendDue) {
        if (!state_.NakReceived) unanswered = true;
        ++tries;
        transaction.send();
        // Judged before the next poll: the last resend is not awaited, and a
        // rejection resends even when a stop flag is already set.
        if (WaitOver(transaction, tries)) break;
    }
    if (unanswered && state_.ReplyDone) SettleLine();
    return tries;
}

void CommModule::SettleLine()
{
    auto& s = state_;
    const std::int16_t command = s.CurrentCommand;
    s.CurrentCommand = kIdle;  // received bytes are dropped
    std::size_t seen = bytesReceived_;
    const double start = clock_.Now();
    double quietSince = start;
    // A line that never falls quiet (noise) still ends the wait.
    while (clock_.Now() - quietSince < SettleQuietSeconds && clock_.Now() - start < 10 * SettleQuietSeconds) {
        pump_.Yield(quietSince + SettleQuietSeconds);
        if (bytesReceived_ != seen) {
            seen = bytesReceived_;
            quietSince = clock_.Now();
        }
    }
    s.CurrentCommand = command;
}

CommModule::TryEnd CommModule::AwaitTry(const Transaction& transaction, int tries)
{
    for (;;) {
        // The exit test comes before every wait: a stop flag that is already
        // set ends the wait whether or not the reply is about to arrive.
        state_.ElapsedTime = clock_.Now() - state_.StartTime;
        if (WaitOver(transaction, tries)) return TryEnd::WaitOver;
        state_.ElapsedTime = Poll(state_.StartTime, transaction.timeout);
        if (ResendDue(transaction, tries)) return TryEnd::ResendDue;
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

}  // namespace pelora
