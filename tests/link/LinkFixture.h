#pragma once

#include "FakeLink.h"
#include "link/CommModule.h"
#include "sim/VirtualHarness.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

namespace linktest {

constexpr std::int32_t kCodeUnit = 0x2000;  // above the 4096 units of data memory


// The link against the emulated device on the virtual clock, port open and
// receive buffers sized for a 512-block memory as the image sets them.
class LinkFixture : public ::testing::Test {
protected:
    explicit LinkFixture(sim::DeviceConfig config = {}) : harness(config), comm(harness.Port(), harness.Clock(), harness.Pump())
    {
        harness.Port().SetPortName("sim");
        harness.Port().SetBaudRate(38400);
        std::string error;
        EXPECT_TRUE(harness.Port().Open(&error)) << error;
        comm.State().ResizeReceiveBuffers(static_cast<std::size_t>(config.memorySize) * 136 + 2);
    }

    pelora::LinkState& state() { return comm.State(); }

    // The frames the program wrote, in order.
    std::vector<Bytes> sent() const
    {
        std::vector<Bytes> frames;
        for (const auto& record : harness.Writes()) frames.push_back(record.bytes);
        return frames;
    }

    // When they went out; with `minSize`, only frames of at least that many bytes.
    std::vector<double> sendTimes(std::size_t minSize = 0) const
    {
        std::vector<double> times;
        for (const auto& record : harness.Writes())
            if (record.bytes.size() >= minSize) times.push_back(record.time);
        return times;
    }

    // Expects consecutive sends `spacing` seconds apart (to a microsecond-ish).
    void expectSpacing(double spacing) const
    {
        const auto times = sendTimes();
        for (std::size_t i = 1; i < times.size(); ++i)
            EXPECT_NEAR(times[i] - times[i - 1], spacing, 1e-4) << "between send " << i - 1 << " and " << i;
    }

    void fillBlockBuf(std::uint8_t seed)
    {
        auto& block = state().BlockBuf;
        for (std::size_t i = 0; i < 128; ++i) block[i] = static_cast<std::uint8_t>(seed + i * 7);
        block[128] = static_cast<std::uint8_t>(std::accumulate(block.begin(), block.begin() + 128, 0u));
    }

    sim::VirtualHarness harness;
    pelora::CommModule comm;
};

// A table's row runs against a fresh device, one that reports revision 7.
template <class Row>
class LinkTable : public LinkFixture, public ::testing::WithParamInterface<Row> {
protected:
    LinkTable() : LinkFixture([] { sim::DeviceConfig config; config.revision = 7; return config; }()) {}
};

template <class Row>
std::string RowName(const ::testing::TestParamInfo<Row>& info)
{
    return info.param.name;
}

// An operation as the tables run it, its result as a number (0 when it has none).
using Operation = std::function<int(pelora::CommModule&)>;

// A frame as the program puts it on the wire: the request and a trailing 0x00.
inline Bytes Frame(Bytes request)
{
    request.push_back(0x00);
    return request;
}

}  // namespace linktest
