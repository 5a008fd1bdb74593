// Feeds arbitrary device replies to the link's transactions on a virtual
// clock. Whatever the device sends, a transaction must end within its
// time-outs, never write outside its buffers, and never send a frame that is
// not a request of this protocol.
#include "link/CommModule.h"
#include "../link/FakeLink.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

namespace {

using namespace pelora;

// The fuzz input after its first byte: chunks, each a length byte and that
// many reply bytes, handed to the link one per yield.
class ReplyScript {
public:
    explicit ReplyScript(std::span<const std::uint8_t> data) : data_(data) {}
    std::vector<std::uint8_t> NextChunk()
    {
        if (pos_ >= data_.size()) return {};
        const std::size_t length = data_[pos_++];
        const std::size_t take = std::min(length, data_.size() - pos_);
        std::vector<std::uint8_t> chunk(data_.begin() + pos_, data_.begin() + pos_ + take);
        pos_ += take;
        return chunk;
    }

private:
    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

class FuzzClock : public Clock {
public:
    double Now() override { return now; }
    void Sleep(double seconds) override { now += seconds; }
    double now = 0.0;
};

using FuzzPort = linktest::RecordingPort;

// Every request ends with its 0x00 and is at most 129 bytes before it.
void CheckRequests(const FuzzPort& port)
{
    for (const auto& frame : port.writes)
        if (frame.empty() || frame.size() > 130 || frame.back() != 0x00) std::abort();
}

class FuzzPump : public EventPump {
public:
    FuzzPump(FuzzClock& clock, FuzzPort& port, ReplyScript& script) : clock_(clock), port_(port), script_(script) {}
    void Yield(double deadline) override
    {
        // No transaction waits longer than its resends allow.
        if (++yields > 100000 || clock_.now > 1000.0) std::abort();
        std::vector<std::uint8_t> chunk = script_.NextChunk();
        if (!chunk.empty() && port_.handler) {
            clock_.now += 0.001;
            port_.handler(chunk);
        } else if (deadline > clock_.now) {
            clock_.now = deadline;
        } else {
            clock_.now += 0.001;
        }
    }
    int yields = 0;

private:
    FuzzClock& clock_;
    FuzzPort& port_;
    ReplyScript& script_;
};

void RunOperation(CommModule& link, std::uint8_t choice)
{
    LinkState& s = link.State();
    for (std::size_t i = 0; i < s.BlockBuf.size(); ++i) s.BlockBuf[i] = static_cast<std::uint8_t>(i * 7);
    switch (choice % 9) {
    case 0: link.ReadDeviceId(); link.CheckDeviceId(link.DeviceIdText, "PELORA"); break;
    case 1: link.DeepSleepRequest = choice & 0x10; link.SetSleepMode(); break;
    case 2: link.ReadCodeRevision(); break;
    case 3: link.ReadMemoryBlocks(16, 16); break;
    case 4: link.WriteBlock(0x2000, 0xB5); break;
    case 5: link.SendChecksum(0xB6, 0x1234); break;
    case 6: link.SendCode2Word(0x0102); link.SendChecksum(0xB9, 0xFFFF); break;
    case 7: link.WriteRecord(4); break;
    case 8: link.SetDeviceClock("12/31/26", "13:05:09", 233); break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    ReplyScript script(std::span<const std::uint8_t>(data + 1, size - 1));
    FuzzClock clock;
    FuzzPort port;
    FuzzPump pump(clock, port, script);
    CommModule link(port, clock, pump);
    link.State().ResizeReceiveBuffers(512 * 136 + 2);
    try {
        RunOperation(link, data[0]);
    } catch (const LinkRuntimeError&) {
        // A refused write or a bad value: the callers' concern, not a crash.
    }
    CheckRequests(port);
    // Late bytes while idle are dropped without harm.
    link.AssembleReply(std::span<const std::uint8_t>(data, size));
    return 0;
}
