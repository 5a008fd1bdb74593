// Scripted faults, alone and together, through raw frames.

#include <gtest/gtest.h>

#include "RawLink.h"

using simtest::Bytes;
using simtest::RawLink;

namespace {
constexpr std::uint8_t Z = 0x5A;
constexpr std::uint8_t Nak = 0xA5;
}  // namespace

TEST(FaultUnplug, FromAFrameOnTheDeviceIsSilent) {
    RawLink link;
    link.harness.Faults().UnplugAtFrame(2);
    EXPECT_EQ(link.Exchange({0xBA}, 2), (Bytes{Z, 0}));
    EXPECT_TRUE(link.Exchange({0xBA}, 2, 30.0).empty());
    EXPECT_TRUE(link.Exchange({0x84}, 18, 30.0).empty());
    EXPECT_EQ(link.harness.Frames().size(), 1u);
}

TEST(FaultUnplug, ForAWhileThenBack) {
    RawLink link;
    link.harness.Faults().UnplugAt(1.0, 2.0);
    link.harness.Clock().Sleep(1.5);
    EXPECT_TRUE(link.Exchange({0xBA}, 2, 1.0).empty());
    link.harness.Clock().Sleep(1.0);
    EXPECT_EQ(link.Exchange({0xBA}, 2), (Bytes{Z, 0}));
}

TEST(FaultUnplug, ReplyOnTheWireWhenTheCableIsPulledIsLost) {
    RawLink link;
    link.harness.Faults().SetLatency(0.5);
    link.harness.Faults().UnplugAt(0.2, 1.0);
    EXPECT_TRUE(link.Exchange({0xBA}, 2, 2.0).empty());
    EXPECT_EQ(link.harness.Frames().size(), 1u);  // heard before the cable went
}

TEST(FaultReject, NextFramesOfOneKindAreRejectedWithoutEffect) {
    RawLink link;
    const auto before = link.harness.Dev().Memory();
    link.harness.Faults().Reject(sim::DataFrame(0xB5), 2);
    const Bytes block = RawLink::Block(4);
    EXPECT_EQ(link.WriteBlock(0xB5, 0, block), Bytes{Nak});
    EXPECT_EQ(link.WriteBlock(0xB5, 0, block), Bytes{Nak});
    EXPECT_EQ(link.harness.Dev().Memory(), before);
    EXPECT_EQ(link.Exchange({0xBA}, 2), (Bytes{Z, 0}));  // other commands unaffected
    EXPECT_EQ(link.WriteBlock(0xB5, 0, block), Bytes{Z});
    EXPECT_NE(link.harness.Dev().Memory(), before);
}

TEST(FaultReject, SkipLetsTheFirstFramesThrough) {
    RawLink link;
    link.harness.Faults().Reject(0xB4, 1, 2);
    EXPECT_EQ(link.Exchange({0xB4, 0, 0}, 129).size(), 129u);
    EXPECT_EQ(link.Exchange({0xB4, 0, 0}, 129).size(), 129u);
    EXPECT_EQ(link.Exchange({0xB4, 0, 0}, 129), Bytes{Nak});
    EXPECT_EQ(link.Exchange({0xB4, 0, 0}, 129).size(), 129u);
}

TEST(FaultReject, RejectedChecksumCommitsNothing) {
    RawLink link;
    ASSERT_EQ(link.WriteBlock(0xB5, 0x2000, RawLink::CodeBlock("1C", 1, 5)), Bytes{Z});
    link.harness.Faults().Reject(0xB6, 1);
    EXPECT_EQ(link.Exchange({0xB6, 0, 5}), Bytes{Nak});
    EXPECT_EQ(link.harness.Dev().CurrentMode(), sim::Mode::PcMode);
    EXPECT_EQ(link.Exchange({0xB6, 0, 5}), Bytes{Z});
}

TEST(FaultDrop, ReplyIsLostButTheDeviceActed) {
    RawLink link;
    link.harness.Faults().DropReplies(1, sim::DataFrame(0xB5));
    const Bytes block = RawLink::Block(6);
    EXPECT_EQ(link.WriteBlock(0xB5, 0, block), Bytes{});
    EXPECT_TRUE(std::equal(block.begin(), block.begin() + 128, link.harness.Dev().Memory().begin() + 256));
    EXPECT_EQ(link.WriteBlock(0xB5, 0, block), Bytes{Z});
}

TEST(FaultDrop, AnyReplyWhenNoFrameIsNamed) {
    RawLink link;
    link.harness.Faults().DropReplies(2);
    EXPECT_TRUE(link.Exchange({0xBA}, 2).empty());
    EXPECT_TRUE(link.Exchange({0x84}, 18).empty());
    EXPECT_EQ(link.Exchange({0xBA}, 2), (Bytes{Z, 0}));
}

TEST(FaultChunks, ReplyComesInPiecesWithGaps) {
    RawLink link;
    link.harness.Faults().ChunkReplies(5, 0.01);
    const Bytes reply = link.Exchange({0x84}, 18);
    EXPECT_EQ(reply.size(), 18u);
    EXPECT_EQ(link.chunks, 4);
    const auto& replies = link.harness.Replies();
    ASSERT_EQ(replies.size(), 4u);
    EXPECT_EQ(replies[3].bytes.size(), 3u);
    EXPECT_NEAR(replies[3].time - replies[0].time, 0.03, 1e-9);
}

TEST(FaultLatency, ReplyWaitsTheLatency) {
    RawLink link;
    link.harness.Faults().SetLatency(0.75);
    ASSERT_EQ(link.Exchange({0xBA}, 2).size(), 2u);
    EXPECT_NEAR(link.harness.Replies().back().time, 0.75, 1e-9);
}

TEST(FaultStray, IdleDeviceSendsStrayBytesOnlyAfterItHeardAFrame) {
    RawLink link;
    link.harness.Faults().StrayWhileIdle(0.5, {0x5A, 0x13});
    EXPECT_TRUE(link.WaitFor(1, 2.0).empty());  // nobody spoke to it yet
    ASSERT_EQ(link.Exchange({0xBA}, 2), (Bytes{Z, 0}));
    link.received.clear();
    link.WaitFor(6, 5.0);
    EXPECT_EQ(link.received, (Bytes{0x5A, 0x13, 0x5A, 0x13, 0x5A, 0x13}));
}

TEST(FaultPowerLoss, HeldCodeIsLostAndTheOldCodeComesBack) {
    RawLink link;
    link.harness.Faults().PowerLossAfterCodeBlock(2, 3.0);
    ASSERT_EQ(link.WriteBlock(0xB5, 0x2000, RawLink::CodeBlock("1C", 1, 1)), Bytes{Z});
    ASSERT_EQ(link.WriteBlock(0xB5, 0x2008, RawLink::Block(1, 1)), Bytes{Z});  // acknowledged, then dark
    EXPECT_EQ(link.harness.Dev().CurrentMode(), sim::Mode::PoweredOff);
    EXPECT_TRUE(link.Exchange({0xB5, 0x20, 0x10}, 1, 2.0).empty());
    link.harness.Clock().Sleep(1.5);
    const Bytes id = link.Exchange({0x84}, 18);
    ASSERT_EQ(id.size(), 18u);
    EXPECT_EQ(std::string(id.begin() + 1, id.begin() + 17), "PELORA 1D-V1B H2");
    EXPECT_TRUE(link.harness.Dev().HeldCode(1).empty());
    EXPECT_EQ(link.Exchange({0xB6, 0x00, 0x02}), Bytes{Nak});
}

TEST(FaultNoRestart, DeviceNeverComesBack) {
    RawLink link;
    link.harness.Faults().NoReturnFromRestart();
    ASSERT_EQ(link.Exchange({0xB6, 0, 0}), Bytes{Z});
    link.harness.Clock().Sleep(600.0);
    EXPECT_TRUE(link.Exchange({0x84}, 18, 60.0).empty());
}

TEST(FaultModelAndVersion, IdentificationShowsTheOtherModelAndCode) {
    RawLink link;
    link.harness.Faults().AnotherModel("NAVIX");
    link.harness.Faults().CodeVersion("1A", 4);
    const Bytes id = link.Exchange({0x84}, 18);
    EXPECT_EQ(std::string(id.begin() + 1, id.begin() + 17), "NAVIX 1D-V1A H20");
    EXPECT_EQ(link.Exchange({0xBA}, 2), (Bytes{Z, 4}));
}

TEST(FaultBadCell, CellReadsBackWrongWhileMemoryHoldsTheTruth) {
    RawLink link;
    link.harness.Faults().BadCell(256 + 5, 0x01);
    const std::uint8_t truth = link.harness.Dev().Memory()[261];
    const Bytes reply = link.Exchange({0xB4, 0x00, 0x10}, 129);
    ASSERT_EQ(reply.size(), 129u);
    EXPECT_EQ(reply[1 + 5], truth ^ 0x01);
    EXPECT_EQ(reply[1 + 4], link.harness.Dev().Memory()[260]);
}

TEST(FaultsCompose, RejectDropAndChunksTogether) {
    RawLink link;
    link.harness.Faults().Reject(0xBA, 1);
    link.harness.Faults().DropReplies(1, 0xBA);
    link.harness.Faults().ChunkReplies(1, 0.0);
    EXPECT_EQ(link.Exchange({0xBA}, 2), Bytes{}); // rejected, and that reply dropped
    EXPECT_EQ(link.Exchange({0xBA}, 2), (Bytes{Z, 0}));
    EXPECT_EQ(link.chunks, 2);
}

TEST(FaultSpec, CommandLineSyntaxArmsTheFaults) {
    RawLink link;
    auto& faults = link.harness.Faults();
    std::string error;
    ASSERT_TRUE(faults.Apply("reject:B4,1", &error)) << error;
    ASSERT_TRUE(faults.Apply("drop:count=1,tag=0xBA", &error)) << error;
    ASSERT_TRUE(faults.Apply("model:OTHER", &error)) << error;
    ASSERT_TRUE(faults.Apply("version:0Z,revision=2", &error)) << error;
    EXPECT_EQ(link.Exchange({0xB4, 0, 0}, 129), Bytes{Nak});
    EXPECT_TRUE(link.Exchange({0xBA}, 2).empty());
    const Bytes id = link.Exchange({0x84}, 18);
    EXPECT_EQ(std::string(id.begin() + 1, id.begin() + 17), "OTHER 1D-V0Z H20");
    ASSERT_TRUE(faults.Apply("unplug:frame=2,for=1", &error)) << error;
    EXPECT_EQ(link.Exchange({0xBA}, 2), (Bytes{Z, 2}));
    EXPECT_TRUE(link.Exchange({0xBA}, 2, 0.5).empty());
    link.harness.Clock().Sleep(1.0);
    EXPECT_EQ(link.Exchange({0xBA}, 2), (Bytes{Z, 2}));
}

TEST(FaultSpec, BadSpecsAreRefusedWithAReason) {
    RawLink link;
    for (const char* spec : {"explode", "reject", "reject:ZZ,1", "reject:B5,-1", "drop:x", "latency",
                             "latency:-1", "chunks:0", "stray:0.5,ABC", "powerloss:0", "version:ABC",
                             "badcell:-4", "badcell:10,100", "unplug:at=soon", "reject:B5,1,2,3",
                             "drop:1,colour=red"}) {
        std::string error;
        EXPECT_FALSE(link.harness.Faults().Apply(spec, &error)) << spec;
        EXPECT_FALSE(error.empty()) << spec;
    }
    EXPECT_EQ(link.Exchange({0xBA}, 2), (Bytes{Z, 0}));  // nothing half-armed
}

TEST(FaultDrop, HeaderSentAgainAfterALostAcknowledgementIsTakenAsAHeader) {
    RawLink link;
    link.harness.Faults().DropReplies(1, 0xB5);
    EXPECT_TRUE(link.Exchange({0xB5, 0x00, 0x00}, 1, 0.2).empty());
    link.harness.Clock().Sleep(0.01);  // the program resends after 0.2 s
    const Bytes block = RawLink::Block(2);
    EXPECT_EQ(link.WriteBlock(0xB5, 0, block), Bytes{Z});
    EXPECT_TRUE(std::equal(block.begin(), block.begin() + 128, link.harness.Dev().Memory().begin() + 256));
}
