// Power losses and what comes back from restarts, armed in the command-line
// syntax through raw frames.

#include <gtest/gtest.h>

#include <sstream>

#include "RawLink.h"

using namespace simtest;

namespace {

void ArmAll(RawLink& link, const std::string& specs) {
    std::istringstream list(specs);
    for (std::string spec; list >> spec;) EXPECT_TRUE(link.harness.Faults().Apply(spec)) << spec;
}

}  // namespace

// The device acts on the frame (at a frame: without answering it; after a
// code block: answering it) and the power goes: held code and unsent replies
// are lost, it is silent for its time off and comes back in PC mode with
// what it had committed and what it had written to data memory.
TEST(PowerFaults, PowerLossKeepsWhatWasWrittenOrCommitted) {
    struct Step { Bytes frame, reply; };
    struct Row {
        const char* specs;
        std::vector<Step> steps;
        const char* id;  // after the power came back
        std::uint8_t revision;
        std::size_t committed;
        int byte256;  // data memory at byte 256 after the loss
    };
    const Bytes block = RawLink::Block(4), code = RawLink::CodeBlock("1C", 1, 5);
    const Bytes header = RawLink::Header(0xB5, 0), codeHeader = RawLink::Header(0xB5, 0x2000);
    const Row rows[] = {
        {"powerloss:frame=2,off=3", {{header, {Z}}, {block, {}}}, "PELORA 1D-V1B H2", 0, 0, 4},  // half a restore
        {"powerloss:frame=3,off=3", {{codeHeader, {Z}}, {code, {Z}}, {{0xB6, 0, 5}, {}}}, "PELORA 1D-V1C H2", 1, 1,
         0xFF},  // committed, not restarted
        {"powerloss:frame=3,off=3 afterrestart:model:NAVIX", {{codeHeader, {Z}}, {code, {Z}}, {{0xB6, 0, 5}, {}}},
         "NAVIX 1D-V1C H20", 1, 1, 0xFF},
        {"powerloss:2,off=3", {{codeHeader, {Z}}, {code, {Z}}, {RawLink::Header(0xB5, 0x2008), {Z}},
                               {RawLink::Block(1, 1), {Z}}}, "PELORA 1D-V1B H2", 0, 0, -1},
        {"delay:frame=1,by=0.5 powerloss:frame=2,off=3", {{{0xBA}, {}}, {{0xB8, 0x12, 0x34}, {}}},
         "PELORA 1D-V1B H2", 0, 0, -1},  // the late reply goes with the power
        {"powerloss:frame=1,off=3", {{{0xA8, 0x55}, {}}}, "PELORA 1D-V1B H2", 0, 0, -1},  // back awake
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.specs);
        RawLink link;
        const sim::Device& device = link.harness.Dev();
        ArmAll(link, row.specs);
        for (const Step& step : row.steps) EXPECT_EQ(link.Exchange(step.frame, step.reply.size() + 1, 0.1), step.reply);
        EXPECT_EQ(device.CurrentMode(), sim::Mode::PoweredOff);
        const auto memory = device.Memory();
        const std::size_t replies = link.harness.Replies().size();
        const double lost = link.harness.Frames().back().time;
        link.received.clear();
        EXPECT_TRUE(link.WaitFor(1, lost + 2.9 - link.harness.Now()).empty());
        EXPECT_EQ(link.AskAround(lost + 3.0, 0.05), (Bytes{Z, row.revision}));
        EXPECT_EQ(link.harness.Replies().size(), replies + 1);
        EXPECT_EQ(link.IdText(), row.id);
        EXPECT_TRUE(device.HeldCode(1).empty());
        EXPECT_EQ(device.CommittedCode(1).size(), row.committed);
        EXPECT_EQ(device.Memory(), memory);
        EXPECT_TRUE(row.byte256 < 0 || memory[256] == row.byte256);
        EXPECT_EQ(link.Exchange({0xB6, 0x00, 0x06}), Bytes{Nak});  // the held block is gone
    }
}

// Faults armed when the device is back from its next restart. Each row
// commits region 1 (code 1C, revision 1), then region 2 (2A, revision 2),
// and looks at the device after each restart; "" is a restart without end.
TEST(PowerFaults, AfterRestartArmsWhenTheDeviceIsBack) {
    struct Back { const char* id; std::uint8_t revision; };
    const std::pair<const char*, std::vector<Back>> rows[] = {
        {"afterrestart:model:NAVIX", {{"NAVIX 1D-V1C H20", 1}, {"NAVIX 1D-V2A H20", 2}}},
        {"afterrestart:oldcode", {{"PELORA 1D-V1B H2", 0}, {"PELORA 1D-V2A H2", 2}}},
        {"afterrestart:norestart", {{"PELORA 1D-V1C H2", 1}, {"", 0}}},
        {"norestart", {{"", 0}}},
        {"afterrestart:afterrestart:oldcode", {{"PELORA 1D-V1C H2", 1}, {"PELORA 1D-V1C H2", 1}}},
    };
    for (const auto& [specs, backs] : rows) {
        SCOPED_TRACE(specs);
        RawLink link;
        ArmAll(link, specs);
        EXPECT_EQ(link.IdText(), "PELORA 1D-V1B H2");
        for (std::size_t i = 0; i < backs.size(); ++i) {
            const int region = static_cast<int>(i) + 1;
            const Bytes code = RawLink::CodeBlock(region == 1 ? "1C" : "2A", static_cast<std::uint8_t>(region), 7);
            ASSERT_EQ(link.WriteBlock(region == 1 ? 0xB5 : 0xB7, region == 1 ? 0x2000 : 0x4000, code), Bytes{Z});
            ASSERT_EQ(link.Exchange(RawLink::Header(region == 1 ? 0xB6 : 0xB9, 7)), Bytes{Z});
            EXPECT_EQ(link.harness.Dev().CommittedCode(region).size(), 1u);
            link.harness.Clock().Sleep(5.1);
            EXPECT_EQ(link.IdText(60.0), backs[i].id);
            if (*backs[i].id == '\0') break;
            EXPECT_EQ(link.Exchange({0xBA}, 2), (Bytes{Z, backs[i].revision}));
        }
    }
}
