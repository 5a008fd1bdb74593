// Scripted faults, alone and together, through raw frames. Each is armed in
// the command-line syntax, so the parser is tested with the behaviour.

#include <gtest/gtest.h>

#include <sstream>

#include "RawLink.h"

using namespace simtest;

namespace {

// A 3 s power loss during the last of `steps`: silent until just before it
// ends, then back with this text and no held code left to commit.
std::vector<Step> OffThenBack(std::vector<Step> steps, const std::vector<Step>& then = {},
                              const char* id = "PELORA 1D-V1B H2") {
    return Cat(Cat(steps, {{{}, {}, 2.85}, {Id, {}}, {Id, IdReply(id)}, {Header(0xB6, 6), {Nak}}}), then);
}

}  // namespace

// Each row arms its faults after its first `armAfter` steps (frame counts
// start there) and plays the rest; `frames`: how many the device heard.
TEST(Faults, EachFaultChangesWhatTheScriptSees) {
    struct Row { const char* faults; std::vector<Step> steps; int frames = -1; std::size_t armAfter = 0; };
    const Bytes b8{0xB8, 0x12, 0x34}, b4 = Block({4}), b5 = Block({5}), at0 = Header(0xB5, 0);
    const Bytes read16 = Header(0xB4, 16), id = IdReply("PELORA 1D-V1B H2"), codeAt = Header(0xB5, 0x2000);
    const std::vector<Step> sent{{codeAt, {Z}}, {Block({'1', 'C', 1}, 5), {Z}}};  // a block of code 1C
    const std::vector<Step> committed = Cat(sent, {{Header(0xB6, 5), {Z}}, {{}, {}, 5.0}});  // and the restart over
    Bytes badCell = ReadReply(&Fresh[256]);
    badCell[1 + 5] ^= 0x80;
    const Row rows[] = {
        {"unplug:frame=2,for=50",
         {{Ba, RevisionZero}, {Ba, RevisionZero}, {Ba, {}, 30}, {Id, {}, 30}, {Ba, RevisionZero}}, 3, 1},
        // Heard before the cable went, its reply lost; then unheard, also at the moment it goes.
        {"latency:0.5 unplug:at=0.2,for=1", {{Ba, {}, 0.2}, {Ba, {}, 1.05}, {Ba, RevisionZero, 1.0}}, 2},
        {"reject:B5-data,1", {{at0, {Z}}, {b5, {Nak}}, {read16, ReadReply(&Fresh[256])}}},  // and no effect
        // The acknowledgements lost, the device acted on both frames.
        {"drop:1,tag=0xB5 drop:1,tag=B5-data",
         {{at0, {}, 0.21}, {at0, {Z}}, {b5, {}}, {read16, ReadReply(b5.data())}}},
        {"latency:0.75 chunks:5,0.01",
         {{Id, Bytes(id.begin(), id.begin() + 5), 0.755}, {{}, Bytes(id.begin() + 5, id.end())}}},
        {"stray:0.5,5A13", {{{}, {}, 2.0}, {Ba, RevisionZero}, {{}, {0x5A, 0x13, 0x5A, 0x13}, 1.2}}},
        {"version:1A,revision=4 badcell:261,80 reject:BA,1,skip=1",
         {{Id, IdReply("PELORA 1D-V1A H2")}, {Ba, {Z, 4}}, {Ba, {Nak}}, {Ba, {Z, 4}}, {read16, badCell}}},
        // Late, after the next frame was sent, whose reply queues behind it.
        {"delay:frame=2,by=0.5", {{Ba, RevisionZero}, {b8, {}, 0.2}, {Ba, {Z, Z, 0}, 1.0}, {Ba, RevisionZero}}},
        {"corrupt:any,2,skip=1,at=-1,mask=80", {{Ba, {Z, 0}}, {b8, {0xDA}}, {Ba, {Z, 0x80}}, {Ba, {Z, 0}}}},
        {"noise:BA,1,AA long:BA,1,BB short:BA,1 corrupt:BA,1", {{Ba, {0xAA, 0x5B, 0xBB}}, {Ba, {Z, 0}}}},
        // The power goes at a frame (the device acts, unanswered) or after a
        // code block (answered): held code and unsent replies are lost.
        {"powerloss:frame=2,off=3", OffThenBack({{at0, {Z}}, {b4, {}}}, {{read16, ReadReply(b4.data())}})},
        {"powerloss:frame=3,off=3 afterrestart:model:NAVIX",
         OffThenBack(Cat(sent, {{{0xB6, 0, 5}, {}}}), {}, "NAVIX 1D-V1C H20")},
        {"powerloss:2,off=3", OffThenBack(Cat(sent, {{Header(0xB5, 0x2008), {Z}}, {Block({}, 1), {Z}}}))},
        {"delay:frame=1,by=0.5 powerloss:frame=2,off=3", OffThenBack({{Ba, {}}, {b8, {}}})},
        // Armed for when the device is back from its next restart: the old
        // code, then no end to the restart after it.
        {"afterrestart:oldcode afterrestart:norestart",
         Cat(Cat(committed, {{Id, id}}), Cat(committed, {{Id, {}, 60}}))},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.faults);
        RawLink link;
        link.Play({row.steps.begin(), row.steps.begin() + static_cast<std::ptrdiff_t>(row.armAfter)});
        std::istringstream faults(row.faults);
        for (std::string fault; faults >> fault;) EXPECT_TRUE(link.h.Faults().Apply(fault)) << fault;
        link.Play({row.steps.begin() + static_cast<std::ptrdiff_t>(row.armAfter), row.steps.end()});
        EXPECT_TRUE(row.frames < 0 || link.h.Frames().size() == static_cast<std::size_t>(row.frames));
    }
}
