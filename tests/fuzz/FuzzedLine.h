#pragma once

// The line of the whole-update fuzzer: one action byte of the input for each
// frame the emulated device parses decides what becomes of its reply.

#include "link/CommModule.h"
#include "sim/Faults.h"

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <tuple>
#include <vector>

namespace fuzzline {

using Bytes = std::vector<std::uint8_t>;

// After the run byte, one action byte for each frame the device parses
// decides its reply: the low four bits choose, the high four (p) tune, and
// some take the next byte too (x). Past the end of the input every reply
// passes.
enum Action {
    Pass,
    Drop,             // lost after the device acted
    Pieces,           // pieces of p % 8 + 1 bytes, 4 ms apart; 0.3 s apart from p = 8 on
    Delay,            // kDelays[p] s late: from 0.21 s on, past the program's resend
    ChangeByte,       // byte x (modulo the length) XOR 1 << p % 8, or FF for p = 0
    CutShort,         // the last p + 1 bytes missing
    Lengthen,         // p + 1 bytes x after it
    ReplaceByReject,  // A5 instead, the device having acted
    Reject,           // A5, and the device does nothing
    Noise,            // p + 1 bytes x before it
    PowerCut,         // the device acts, then the power goes for kOffSeconds[p % 4]
    NoReturn,         // the next restart never ends; the reply passes
};                    // 12 to 15 pass as well
// Up to the link's quiet time: a reply later than that cannot be told from
// the answer to a later request (a reply says nothing of its request). A
// device answers in milliseconds; one that is away is a PowerCut.
constexpr std::array kDelays{0.01, 0.05, 0.1, 0.15, 0.19, 0.21, 0.25, 0.4, 0.9, 1.1, 1.5, 1.9, 2.1, 2.5, 2.7, 2.9};
static_assert(kDelays.back() < pelora::CommModule::SettleQuietSeconds);
constexpr std::array kOffSeconds{0.5, 3.0, 8.0, 30.0};
constexpr int kBlockReplyLength = 129;

// No program can tell a one-byte verdict that noise turned round (A5 and 5A
// differ in every bit) from the device's own, so the line never forges an
// acceptance: a rejection never reaches the program behind a 5A.
inline bool ForgesAcceptance(const Bytes& reply, int first)
{
    return !reply.empty() && reply[0] == 0xA5 && first == 0x5A;
}

inline std::uint8_t ChangeMask(int p) { return static_cast<std::uint8_t>(p ? 1 << p % 8 : 0xFF); }

class Line {
public:
    Line(sim::Faults& faults, std::span<const std::uint8_t> script) : faults_(faults), script_(script) {}

    void Decide(sim::FrameTag tag, const Bytes& frame, sim::Faults::FrameFaults& f)
    {
        int action = Next();
        const int p = action >> 4;
        action &= 15;
        const std::uint8_t x = action == ChangeByte || action == Lengthen || action == Noise ? Next() : 0;
        if (tag == 0xB4) action = KeepNoiseFromRepeating(frame[1] * 256 + frame[2], action, p, x);
        faults_.ChunkReplies(0, 0.0);
        const std::size_t n = static_cast<std::size_t>(p) + 1;
        switch (action) {
        case Drop: f.reshape = [](Bytes& r) { r.clear(); }; break;
        case Pieces: faults_.ChunkReplies(p % 8 + 1, p >= 8 ? 0.3 : 0.004); break;
        case Delay: f.delay += kDelays[static_cast<std::size_t>(p)]; break;
        case ChangeByte: {
            const std::uint8_t mask = ChangeMask(p);
            f.reshape = [x, mask](Bytes& r) {
                if (r.empty()) return;
                std::uint8_t& b = r[x % r.size()];
                if (&b != &r[0] || !ForgesAcceptance(r, b ^ mask)) b ^= mask;
            };
            break;
        }
        case CutShort: f.reshape = [n](Bytes& r) { r.resize(r.size() > n ? r.size() - n : 0); }; break;
        case Lengthen: f.reshape = [n, x](Bytes& r) { r.insert(r.end(), n, x); }; break;
        case ReplaceByReject: f.reshape = [](Bytes& r) { r.assign(1, 0xA5); }; break;
        case Reject: f.reject = true; break;
        case Noise:
            f.reshape = [n, x](Bytes& r) {
                if (!ForgesAcceptance(r, x)) r.insert(r.begin(), n, x);
            };
            break;
        case PowerCut: f.powerOff = kOffSeconds[static_cast<std::size_t>(p % 4)]; break;
        case NoReturn: faults_.NoReturnFromRestart(); break;
        default: break;
        }
    }

private:
    std::uint8_t Next() { return pos_ < script_.size() ? script_[pos_++] : std::uint8_t{Pass}; }

    // Line noise never repeats itself. Of two block-read replies for the
    // same address that the device sends one after the other, at most one has
    // its data changed; and no change to an address's reply is ever made the
    // same way twice, since the replies between two changed ones may be lost
    // to resends and never reach the program. An action that would break
    // either rule passes the reply instead.
    // What a change does to a reply: a byte changed in one place by one mask
    // (p = 1 and p = 9 flip the same bit), or bytes x added before or after.
    static std::tuple<int, int, int, int> Change(int address, int action, int p, std::uint8_t x)
    {
        if (action == ChangeByte) return {address, action, ChangeMask(p), x % kBlockReplyLength};
        return {address, action, p, x};
    }

    int KeepNoiseFromRepeating(int address, int action, int p, std::uint8_t x)
    {
        const bool changes = (action == ChangeByte && x % kBlockReplyLength != 0) || action == Lengthen ||
                             action == Noise;
        const bool clean = action == Pass || action == Pieces || action == Delay || action >= NoReturn;
        bool& changedLast = readChanged_[address];
        if (changes) {
            if (changedLast || !changesMade_.insert(Change(address, action, p, x)).second) action = Pass;
        }
        if (changes || clean) changedLast = changes && action != Pass;
        return action;
    }

    sim::Faults& faults_;
    std::span<const std::uint8_t> script_;
    std::size_t pos_ = 0;
    std::map<int, bool> readChanged_;
    std::set<std::tuple<int, int, int, int>> changesMade_;
};

}  // namespace fuzzline
