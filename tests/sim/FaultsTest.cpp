// Scripted faults, alone and together, through raw frames. Each is armed in
// the command-line syntax, so the parser is tested with the behaviour.

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "RawLink.h"

using namespace simtest;

namespace {

class Fault : public testing::Test {
protected:
    void Arm(const std::string& spec) {
        std::string error;
        EXPECT_TRUE(link.harness.Faults().Apply(spec, &error)) << spec << ": " << error;
    }
    const std::vector<std::uint8_t>& Memory() { return link.harness.Dev().Memory(); }

    RawLink link;
};

}  // namespace

TEST_F(Fault, UnplugFromAFrameSilencesTheDeviceForItsTime) {
    ASSERT_EQ(link.Exchange({0xBA}, 2), RevisionZero);
    Arm("unplug:frame=2,for=50");  // frames count from here
    EXPECT_EQ(link.Exchange({0xBA}, 2), RevisionZero);
    EXPECT_TRUE(link.Exchange({0xBA}, 2, 30.0).empty());
    EXPECT_EQ(link.IdText(30.0), "");
    EXPECT_EQ(link.Exchange({0xBA}, 2), RevisionZero);
    EXPECT_EQ(link.harness.Frames().size(), 3u);
}

TEST_F(Fault, UnplugAtATimeLosesTheReplyOnTheWireAndHearsNothing) {
    Arm("latency:0.5");
    Arm("unplug:at=0.2,for=1");
    EXPECT_TRUE(link.Exchange({0xBA}, 2, 0.5).empty());  // heard before the cable went, the reply lost
    EXPECT_TRUE(link.Exchange({0xBA}, 2, 0.5).empty());  // not heard
    link.harness.Clock().Sleep(0.5);
    EXPECT_EQ(link.Exchange({0xBA}, 2), RevisionZero);
    EXPECT_EQ(link.harness.Frames().size(), 2u);
}

TEST_F(Fault, RejectedFramesOfOneKindHaveNoEffectAfterTheSkippedOnes) {
    Arm("reject:B5-data,2,skip=1");
    ASSERT_EQ(link.WriteBlock(0xB5, 0, RawLink::Block(4)), Bytes{Z});
    EXPECT_TRUE(link.MemoryHolds(RawLink::Block(4), 256));
    const auto before = Memory();
    const Bytes block = RawLink::Block(5);
    EXPECT_EQ(link.WriteBlock(0xB5, 8, block), Bytes{Nak});
    EXPECT_EQ(link.WriteBlock(0xB5, 8, block), Bytes{Nak});
    EXPECT_EQ(Memory(), before);
    EXPECT_EQ(link.Exchange({0xBA}, 2), RevisionZero);  // other commands unaffected
    EXPECT_EQ(link.WriteBlock(0xB5, 8, block), Bytes{Z});
    EXPECT_TRUE(link.MemoryHolds(block, 384));
}

TEST_F(Fault, RejectedChecksumCommitsNothing) {
    ASSERT_EQ(link.WriteBlock(0xB5, 0x2000, RawLink::CodeBlock("1C", 1, 5)), Bytes{Z});
    Arm("reject:B6,1");
    EXPECT_EQ(link.Exchange({0xB6, 0, 5}), Bytes{Nak});
    EXPECT_EQ(link.harness.Dev().CurrentMode(), sim::Mode::PcMode);
    EXPECT_EQ(link.Exchange({0xB6, 0, 5}), Bytes{Z});
}

// The header's and then the data's acknowledgement lost: the device acted on both.
TEST_F(Fault, DroppedRepliesAreLostButTheDeviceActed) {
    Arm("drop:1,tag=0xB5");
    Arm("drop:1,tag=B5-data");
    EXPECT_TRUE(link.Exchange({0xB5, 0x00, 0x00}, 1, 0.2).empty());
    link.harness.Clock().Sleep(0.01);  // the program resends after 0.2 s: a header, not data
    const Bytes block = RawLink::Block(6);
    EXPECT_EQ(link.WriteBlock(0xB5, 0, block), Bytes{});
    EXPECT_TRUE(link.MemoryHolds(block, 256));
    EXPECT_EQ(link.WriteBlock(0xB5, 0, block), Bytes{Z});
}

TEST_F(Fault, LatencyAndChunksShapeTheReply) {
    Arm("latency:0.75");
    Arm("chunks:5,0.01");
    EXPECT_EQ(link.Exchange({0x84}, 18).size(), 18u);
    EXPECT_EQ(link.chunks, 4);
    const auto& replies = link.harness.Replies();
    ASSERT_EQ(replies.size(), 4u);
    EXPECT_EQ(replies[3].bytes.size(), 3u);
    EXPECT_NEAR(replies[0].time, 0.75, 1e-9);
    EXPECT_NEAR(replies[3].time - replies[0].time, 0.03, 1e-9);
}

TEST_F(Fault, IdleDeviceSendsStrayBytesOnlyAfterItHeardAFrame) {
    Arm("stray:0.5,5A13");
    EXPECT_TRUE(link.WaitFor(1, 2.0).empty());  // nobody spoke to it yet
    ASSERT_EQ(link.Exchange({0xBA}, 2), RevisionZero);
    link.received.clear();
    EXPECT_EQ(link.WaitFor(6, 5.0), (Bytes{0x5A, 0x13, 0x5A, 0x13, 0x5A, 0x13}));
}

TEST_F(Fault, PowerLossDropsHeldCodeAndTheOldCodeComesBack) {
    Arm("powerloss:2,off=3");
    ASSERT_EQ(link.WriteBlock(0xB5, 0x2000, RawLink::CodeBlock("1C", 1, 1)), Bytes{Z});
    ASSERT_EQ(link.WriteBlock(0xB5, 0x2008, RawLink::Block(1, 1)), Bytes{Z});  // acknowledged, then dark
    EXPECT_EQ(link.harness.Dev().CurrentMode(), sim::Mode::PoweredOff);
    EXPECT_TRUE(link.Exchange({0xB5, 0x20, 0x10}, 1, 2.0).empty());
    link.harness.Clock().Sleep(1.5);
    EXPECT_EQ(link.IdText(), "PELORA 1D-V1B H2");
    EXPECT_TRUE(link.harness.Dev().HeldCode(1).empty());
    EXPECT_EQ(link.Exchange({0xB6, 0x00, 0x02}), Bytes{Nak});
}

TEST_F(Fault, NoReturnFromRestart) {
    Arm("norestart");
    ASSERT_EQ(link.Exchange({0xB6, 0, 0}), Bytes{Z});
    link.harness.Clock().Sleep(600.0);
    EXPECT_EQ(link.IdText(60.0), "");
}

TEST_F(Fault, AnotherModelAndOtherCodeShowInTheIdentification) {
    Arm("model:NAVIX");
    Arm("version:1A,revision=4");
    EXPECT_EQ(link.IdText(), "NAVIX 1D-V1A H20");
    EXPECT_EQ(link.Exchange({0xBA}, 2), (Bytes{Z, 4}));
}

TEST_F(Fault, BadCellReadsBackWrongWhileMemoryHoldsTheTruth) {
    Arm("badcell:261,01");
    const Bytes reply = link.Exchange({0xB4, 0x00, 0x10}, 129);
    ASSERT_EQ(reply.size(), 129u);
    EXPECT_EQ(reply[1 + 5], Memory()[261] ^ 0x01);
    EXPECT_EQ(reply[1 + 4], Memory()[260]);
}

// A drop that names no frame takes any reply, a rejected one too.
TEST_F(Fault, RejectDropAndChunksCompose) {
    Arm("reject:BA,1");
    Arm("drop:2");
    Arm("chunks:1,0");
    EXPECT_EQ(link.Exchange({0xBA}, 2), Bytes{});  // rejected, and that reply dropped
    EXPECT_EQ(link.IdText(), "");
    EXPECT_EQ(link.Exchange({0xBA}, 2), RevisionZero);
    EXPECT_EQ(link.chunks, 2);
}

TEST_F(Fault, BadSpecsAreRefusedWithAReason) {
    for (const char* spec : {"explode", "reject", "reject:ZZ,1", "reject:B5,-1", "drop:x", "latency",
                             "latency:-1", "chunks:0", "stray:0.5,ABC", "powerloss:0", "version:ABC",
                             "badcell:-4", "badcell:10,100", "unplug:at=soon", "reject:B5,1,2,3",
                             "drop:1,colour=red"}) {
        std::string error;
        EXPECT_FALSE(link.harness.Faults().Apply(spec, &error)) << spec;
        EXPECT_FALSE(error.empty()) << spec;
    }
    EXPECT_EQ(link.Exchange({0xBA}, 2), RevisionZero);  // nothing half-armed
}

// pelora-sim --help shows a line for every fault the parser knows, and only those.
TEST(FaultSyntax, HelpHasALineForEachFault) {
    const auto names = sim::Faults::Names();
    std::istringstream help(sim::Faults::Usage());
    std::vector<std::string> listed;
    for (std::string line; std::getline(help, line);)
        if (line.rfind("  ", 0) == 0) listed.push_back(line.substr(2, line.find_first_of("[: ", 2) - 2));
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, names);
    EXPECT_GE(names.size(), 11u);
}
