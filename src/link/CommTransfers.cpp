// Memory and code transfers: block headers, blocks, closing words, reads, records.
#include "link/LinkWire.h"

#include <algorithm>

namespace pelora {

using namespace linkwire;

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
        // A late acknowledgement of the block must not pass for the header's.
        if (!state_.NakReceived) SettleLine();
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

}  // namespace pelora
