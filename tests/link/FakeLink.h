#pragma once

#include "link/CommModule.h"
#include "platform/Clock.h"
#include "platform/EventPump.h"
#include "platform/SerialPort.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace linktest {

using Bytes = std::vector<std::uint8_t>;

// Stand-ins for tests that feed the link by hand, without a device.
class RecordingPort : public pelora::SerialPort {
public:
    void SetPortName(const std::string&) override {}
    void SetBaudRate(int) override {}
    bool Open(std::string*) override { return true; }
    bool IsOpen() const override { return true; }
    void Close() override {}
    void ClearInput() override {}
    void ClearOutput() override {}
    bool Write(std::span<const std::uint8_t> bytes) override
    {
        if (refuse) return false;
        writes.emplace_back(bytes.begin(), bytes.end());
        return true;
    }
    void SetDataReceived(DataHandler h) override { handler = std::move(h); }

    void Deliver(const Bytes& bytes) { handler(bytes); }

    std::vector<Bytes> writes;
    DataHandler handler;
    bool refuse = false;
};

class StillClock : public pelora::Clock {
public:
    double Now() override { return 0.0; }
    void Sleep(double) override {}
};

class NoEvents : public pelora::EventPump {
public:
    void Yield(double) override {}
};

// A transaction's preparation as the operations do it.
inline void ExpectReply(pelora::LinkState& state, std::int16_t command, std::int32_t expected)
{
    state.CurrentCommand = command;
    state.RxExpected = expected;
    state.RxCount = 0;
    state.ReplyDone = false;
    state.NakReceived = false;
}

// Table rows print as their names in test listings, not as bytes.
template <class Row>
    requires requires(const Row& row) { std::string(row.name); }
void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}

// The link with these stand-ins, fed by hand.
struct OfflineLink {
    RecordingPort port;
    StillClock clock;
    NoEvents pump;
    pelora::CommModule comm{port, clock, pump};
};

}  // namespace linktest
