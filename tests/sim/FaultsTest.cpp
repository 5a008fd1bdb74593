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

namespace {

struct Step {
    Bytes frame;  // without its 0x00
    Bytes reply;  // all that comes back
};

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

// Replies changed on the line after the device acted on their frames: the
// given frames counted after the skipped ones, any frame for "any", several
// changes on one reply in the order corrupt, cut, lengthen, noise first.
TEST(ReplyFaults, ChangeTheCountedRepliesOnly) {
    const Bytes block = RawLink::Block(4);
    const Bytes ba{0xBA}, b8{0xB8, 0x12, 0x34};
    const std::pair<const char*, std::vector<Step>> rows[] = {
        {"corrupt:BA,1,skip=1", {{ba, {Z, 0}}, {b8, {Z}}, {ba, {0x5B, 0}}, {ba, {Z, 0}}}},
        {"corrupt:any,2,skip=1,at=-1,mask=80", {{ba, {Z, 0}}, {b8, {0xDA}}, {ba, {Z, 0x80}}, {ba, {Z, 0}}}},
        {"corrupt:BA,1,bytes=5,mask=FF", {{ba, {Nak, 0xFF}}}},
        {"short:BA,2", {{ba, {Z}}, {ba, {Z}}, {ba, {Z, 0}}}},
        {"short:BA,1,5", {{ba, {}}, {ba, {Z, 0}}}},
        {"long:BA,1,5A5A", {{b8, {Z}}, {ba, {Z, 0, Z, Z}}, {ba, {Z, 0}}}},
        {"long:any,1", {{b8, {Z, 0xFF}}}},
        {"noise:BA,1", {{ba, {0xFF, Z, 0}}, {ba, {Z, 0}}}},
        {"noise:B8,1,0013,skip=1", {{b8, {Z}}, {b8, {0x00, 0x13, Z}}}},
        {"noise:BA,1,AA long:BA,1,BB short:BA,1 corrupt:BA,1", {{ba, {0xAA, 0x5B, 0xBB}}}},
        {"drop:1,tag=BA noise:BA,1", {{ba, {}}, {ba, {0xFF, Z, 0}}}},  // a lost reply is not counted
        {"short:B5-data,1", {{RawLink::Header(0xB5, 0), {Z}}, {block, {}},
                             {RawLink::Header(0xB4, 16), Cat({Z}, Bytes(block.begin(), block.end() - 1))}}},
    };
    for (const auto& [specs, steps] : rows) {
        SCOPED_TRACE(specs);
        RawLink link;
        std::istringstream list(specs);
        for (std::string spec; list >> spec;) EXPECT_TRUE(link.harness.Faults().Apply(spec)) << spec;
        for (const Step& step : steps)  // waits for a byte too many: an extra one shows
            EXPECT_EQ(link.Exchange(step.frame, step.reply.size() + 1, 0.1), step.reply);
    }
}

// The riskiest late reply: it comes after the program has given up on it
// and sent its next frame, whose own reply queues behind it. One-off.
TEST_F(Fault, DelayedReplyComesAfterTheNextFrameWasSent) {
    Arm("delay:frame=2,by=0.5");
    EXPECT_EQ(link.Exchange({0xBA}, 2), RevisionZero);
    const double sent = link.harness.Now();
    EXPECT_TRUE(link.Exchange({0xB8, 0x12, 0x34}, 1, 0.2).empty());
    EXPECT_EQ(link.harness.Dev().Code2Word(), 0x1234);  // acted on at once
    EXPECT_EQ(link.Exchange({0xBA}, 3), (Bytes{Z, Z, 0}));
    const auto& replies = link.harness.Replies();
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_NEAR(replies[1].time, sent + 0.502, 1e-9);
    EXPECT_NEAR(replies[2].time, sent + 0.502, 1e-9);
    const double again = link.harness.Now();
    EXPECT_EQ(link.Exchange({0xBA}, 2), RevisionZero);
    EXPECT_NEAR(link.harness.Replies().back().time, again + 0.002, 1e-9);
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
                             "drop:1,colour=red", "reject:any,1", "delay:by=1", "delay:frame=0,by=1",
                             "delay:frame=2,by=-1", "corrupt", "corrupt:any,1,mask=0", "short:BA,1,0",
                             "long:BA,1,XYZ", "noise:any,1,F", "powerloss:2,frame=3", "afterrestart",
                             "afterrestart:explode", "afterrestart:model"}) {
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
    for (std::string line; std::getline(help, line);)  // continued lines are indented further
        if (line.rfind("  ", 0) == 0 && line.size() > 2 && line[2] != ' ')
            listed.push_back(line.substr(2, line.find_first_of("[: ", 2) - 2));
    std::sort(listed.begin(), listed.end());
    listed.erase(std::unique(listed.begin(), listed.end()), listed.end());
    EXPECT_EQ(listed, names);
    EXPECT_GE(names.size(), 18u);
}
