// Scripted faults, alone and together, through raw frames. Each is armed in
// the command-line syntax, so the parser is tested with the behaviour.

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "RawLink.h"

using namespace simtest;

namespace {

// Steps a 3 s power loss during the last of `steps`: silent until just
// before it ends, then back in PC mode with this revision and text, and no
// held code left to commit.
std::vector<Step> OffThenBack(std::vector<Step> steps, std::uint8_t revision, const char* id,
                              const std::vector<Step>& then = {}) {
    steps.insert(steps.end(), {{{}, {}, 2.85}, {Id, {}}, {Ba, {Z, revision}}, {Id, RawLink::IdReply(id)},
                               {{0xB6, 0x00, 0x06}, {Nak}}});
    return Cat(steps, then);
}

// Steps committing one block of code 1C to region 1, then 2A to region 2,
// each followed by what the device says once its restart is over ("": nothing).
std::vector<Step> Commits(const std::vector<std::pair<const char*, std::uint8_t>>& backs) {
    std::vector<Step> steps;
    for (int region = 1; region <= static_cast<int>(backs.size()); ++region) {
        const auto& [id, revision] = backs[static_cast<std::size_t>(region - 1)];
        const Bytes code = RawLink::CodeBlock(region == 1 ? "1C" : "2A", static_cast<std::uint8_t>(region), 7);
        steps.insert(steps.end(), {{RawLink::Header(region == 1 ? 0xB5 : 0xB7, region == 1 ? 0x2000 : 0x4000), {Z}},
                                   {code, {Z}}, {RawLink::Header(region == 1 ? 0xB6 : 0xB9, 7), {Z}}, {{}, {}, 5.0}});
        if (*id == '\0') return Cat(steps, {{Id, {}, 60.0}});
        steps.insert(steps.end(), {{Id, RawLink::IdReply(id)}, {Ba, {Z, revision}}});
    }
    return steps;
}

}  // namespace

// Each row arms its faults (after the first `armAfter` steps: frames count
// from there), then plays its steps; `frames` counts those the device heard.
TEST(Faults, EachFaultChangesWhatTheScriptSees) {
    struct Row {
        const char* faults;  // in the command-line syntax, blank-separated
        std::vector<Step> steps;
        int frames = -1;
        std::size_t armAfter = 0;
    };
    const Bytes b8{0xB8, 0x12, 0x34}, b4 = RawLink::Block(4), b5 = RawLink::Block(5);
    const Bytes at0 = RawLink::Header(0xB5, 0), at8 = RawLink::Header(0xB5, 8);
    const Bytes read16 = RawLink::Header(0xB4, 16), read24 = RawLink::Header(0xB4, 24);
    const auto fresh = sim::BuildMemory(512, 4711, 40);  // the default device's memory
    Bytes badCell = ReadReply(fresh.begin() + 256);
    badCell[1 + 5] ^= 0x01;
    const Bytes idReply = RawLink::IdReply("PELORA 1D-V1B H2"), code = RawLink::CodeBlock("1C", 1, 5);
    const Bytes codeAt = RawLink::Header(0xB5, 0x2000), erased = Cat({Z}, Bytes(128, 0xFF));
    const std::vector<Step> commit{{codeAt, {Z}}, {code, {Z}}, {{0xB6, 0, 5}, {}}};
    const Row rows[] = {
        {.faults = "unplug:frame=2,for=50",
         .steps = {{Ba, RevisionZero}, {Ba, RevisionZero}, {Ba, {}, 30}, {Id, {}, 30}, {Ba, RevisionZero}},
         .frames = 3, .armAfter = 1},
        // Heard before the cable went, its reply lost on the wire; then not
        // heard, not even at the moment it goes.
        {.faults = "latency:0.5 unplug:at=0.2,for=1",
         .steps = {{Ba, {}, 0.2}, {Ba, {}, 1.05}, {Ba, RevisionZero, 1.0}}, .frames = 2},
        {.faults = "reject:B5-data,2,skip=1",
         .steps = {{at0, {Z}}, {b4, {Z}}, {at8, {Z}}, {b5, {Nak}}, {at8, {Z}}, {b5, {Nak}}, {Ba, RevisionZero},
                   {read24, ReadReply(fresh.begin() + 384)}, {at8, {Z}}, {b5, {Z}}, {read16, ReadReply(b4.begin())},
                   {read24, ReadReply(b5.begin())}}},
        {"reject:B6,1", {{codeAt, {Z}}, {code, {Z}}, {{0xB6, 0, 5}, {Nak}}, {Ba, RevisionZero}, {{0xB6, 0, 5}, {Z}}}},
        // The header's and then the data's acknowledgement lost: the device
        // acted on both. The program resends after 0.2 s: a header, not data.
        {"drop:1,tag=0xB5 drop:1,tag=B5-data",
         {{at0, {}, 0.21}, {at0, {Z}}, {b5, {}}, {read16, ReadReply(b5.begin())}, {at0, {Z}}, {b5, {Z}}}},
        // A drop that names no frame takes any reply, a rejected one too.
        {"reject:BA,1 drop:2", {{Ba, {}}, {Id, {}}, {Ba, RevisionZero}}},
        {"latency:0.75 chunks:5,0.01",
         {{Id, Bytes(idReply.begin(), idReply.begin() + 5), 0.755}, {{}, Bytes(idReply.begin() + 5, idReply.end())}}},
        {"stray:0.5,5A13", {{{}, {}, 2.0}, {Ba, RevisionZero}, {{}, {0x5A, 0x13, 0x5A, 0x13}, 1.2}}},
        {"model:NAVIX version:1A,revision=4", {{Id, RawLink::IdReply("NAVIX 1D-V1A H20")}, {Ba, {Z, 4}}}},
        {"badcell:261,01", {{read16, badCell}}},
        // A reply that comes after the program gave up on it and sent its
        // next frame, whose reply queues behind it. One-off.
        {"delay:frame=2,by=0.5", {{Ba, RevisionZero}, {b8, {}, 0.2}, {Ba, {Z, Z, 0}, 1.0}, {Ba, RevisionZero}}},
        // Replies changed after the device acted on the frame: the given
        // frames counted after the skipped ones, any frame for "any", several
        // changes on one reply in the order corrupt, cut, lengthen, noise first.
        {"corrupt:BA,1,skip=1", {{Ba, {Z, 0}}, {b8, {Z}}, {Ba, {0x5B, 0}}, {Ba, {Z, 0}}}},
        {"corrupt:any,2,skip=1,at=-1,mask=80", {{Ba, {Z, 0}}, {b8, {0xDA}}, {Ba, {Z, 0x80}}, {Ba, {Z, 0}}}},
        {"corrupt:BA,1,bytes=5,mask=FF", {{Ba, {Nak, 0xFF}}}},
        {"short:BA,2", {{Ba, {Z}}, {Ba, {Z}}, {Ba, {Z, 0}}}},
        {"short:BA,1,5", {{Ba, {}}, {Ba, {Z, 0}}}},
        {"long:BA,1,5A5A", {{b8, {Z}}, {Ba, {Z, 0, Z, Z}}, {Ba, {Z, 0}}}},
        {"long:any,1", {{b8, {Z, 0xFF}}}},
        {"noise:BA,1", {{Ba, {0xFF, Z, 0}}, {Ba, {Z, 0}}}},
        {"noise:B8,1,0013,skip=1", {{b8, {Z}}, {b8, {0x00, 0x13, Z}}}},
        {"noise:BA,1,AA long:BA,1,BB short:BA,1 corrupt:BA,1", {{Ba, {0xAA, 0x5B, 0xBB}}}},
        {"drop:1,tag=BA noise:BA,1", {{Ba, {}}, {Ba, {0xFF, Z, 0}}}},  // a lost reply is not counted
        {"short:B5-data,1", {{at0, {Z}}, {b4, {}}, {read16, ReadReply(b4.begin())}}},
        // The device acts on the frame (at a frame: without answering it;
        // after a code block: answering it) and the power goes: held code and
        // unsent replies are lost; what it committed or wrote stays.
        {"powerloss:frame=2,off=3",  // half a restore
         OffThenBack({{at0, {Z}}, {b4, {}}}, 0, "PELORA 1D-V1B H2", {{read16, ReadReply(b4.begin())}})},
        {"powerloss:frame=3,off=3", OffThenBack(commit, 1, "PELORA 1D-V1C H2", {{read16, erased}})},
        {"powerloss:frame=3,off=3 afterrestart:model:NAVIX", OffThenBack(commit, 1, "NAVIX 1D-V1C H20")},
        {"powerloss:2,off=3", OffThenBack({{codeAt, {Z}}, {code, {Z}}, {RawLink::Header(0xB5, 0x2008), {Z}},
                                           {RawLink::Block(1, 1), {Z}}}, 0, "PELORA 1D-V1B H2")},
        {"delay:frame=1,by=0.5 powerloss:frame=2,off=3",  // the late reply goes with the power
         OffThenBack({{Ba, {}}, {b8, {}}}, 0, "PELORA 1D-V1B H2")},
        {"powerloss:frame=1,off=3", OffThenBack({{{0xA8, 0x55}, {}}}, 0, "PELORA 1D-V1B H2")},  // back awake
        // Armed for after a restart: when the device is back from the next
        // one, also one a power loss cut short (above).
        {"afterrestart:model:NAVIX", Commits({{"NAVIX 1D-V1C H20", 1}, {"NAVIX 1D-V2A H20", 2}})},
        {"afterrestart:oldcode", Commits({{"PELORA 1D-V1B H2", 0}, {"PELORA 1D-V2A H2", 2}})},
        {"afterrestart:norestart", Commits({{"PELORA 1D-V1C H2", 1}, {"", 0}})},
        {"norestart", Commits({{"", 0}})},
        {"afterrestart:afterrestart:oldcode", Commits({{"PELORA 1D-V1C H2", 1}, {"PELORA 1D-V1C H2", 1}})},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.faults);
        RawLink link;
        link.Play({row.steps.begin(), row.steps.begin() + static_cast<std::ptrdiff_t>(row.armAfter)});
        std::istringstream faults(row.faults);
        for (std::string fault; faults >> fault;) EXPECT_TRUE(link.harness.Faults().Apply(fault)) << fault;
        link.Play({row.steps.begin() + static_cast<std::ptrdiff_t>(row.armAfter), row.steps.end()});
        EXPECT_TRUE(row.frames < 0 || link.harness.Frames().size() == static_cast<std::size_t>(row.frames))
            << link.harness.Frames().size() << " frames";
    }
}

// A fault that cannot be read is refused whole, with a reason; pelora-sim
// --help shows a line for every fault the parser knows, and only those.
TEST(FaultSyntax, UnreadableFaultsAreRefusedAndHelpHasALineForEachFault) {
    RawLink link;
    for (const char* fault : {"explode", "reject", "reject:ZZ,1", "reject:B5,-1", "drop:x", "latency",
                              "latency:-1", "chunks:0", "stray:0.5,ABC", "powerloss:0", "version:ABC",
                              "badcell:-4", "badcell:10,100", "unplug:at=soon", "unplug:frame=2,at=1", "reject:B5,1,2,3",
                              "drop:1,colour=red", "reject:any,1", "delay:by=1", "delay:frame=0,by=1",
                              "delay:frame=2,by=-1", "corrupt", "corrupt:any,1,mask=0", "short:BA,1,0",
                              "long:BA,1,XYZ", "noise:any,1,F", "powerloss:2,frame=3", "afterrestart",
                              "afterrestart:explode", "afterrestart:model"}) {
        std::string error;
        EXPECT_FALSE(link.harness.Faults().Apply(fault, &error)) << fault;
        EXPECT_FALSE(error.empty()) << fault;
    }
    link.Play({{Ba, RevisionZero}});  // nothing half-armed

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
