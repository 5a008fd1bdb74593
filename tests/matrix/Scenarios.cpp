// The fault matrix's scenarios: each device or port fault at each phase of
// the update, damaged, foreign or stale backup files; Close in each phase of
// the update, and Yes, No, Esc and Cancel on each question and instruction box.
#include "FaultMatrix.h"

#include "sim/Memory.h"

namespace matrix {

namespace {

// Emulator faults by phase, armed as the update starts or (where a frame
// number counts from the first) at stage 1.
struct Faults {
    const char* phase;
    std::vector<std::string> specs;
    bool fromStageOne = false;
    Layout layout = Layout::Code1Only;
};
const Faults kFaults[] = {
    {"stage-1 checks", {"unplug:frame=1", "reject:A8,10", "corrupt:84,1,at=3", "stray:0.3"}, true},
    // Single bytes at the pace of the wire (a 5 ms gap would be a 2,000-baud line).
    {"first identification", {"unplug", "unplug:for=5", "drop:1", "chunks:1,0.00026", "noise:84,1"}},
    {"first identification", {"delay:frame=3,by=2.5"}, true},
    {"block 0", {"reject:B4,4", "short:B4,1", "corrupt:B4,1,at=75", "long:B4,1"}},
    {"backup blocks", {"corrupt:B4,1,skip=30,at=-3", "reject:B4,100,skip=10", "drop:3,tag=B4,skip=5"}},
    {"backup blocks", {"unplug:frame=22", "delay:frame=10,by=0.5", "powerloss:frame=17"}, true},
    {"upload region 1", {"reject:B5-data,100,skip=4", "powerloss:5", "drop:2,tag=B5-data"}},
    {"upload region 1", {"unplug:frame=90", "delay:frame=95,by=0.3"}, true},
    {"upload region 2", {"reject:B7-data,100,skip=3"}, false, Layout::BothCodes},
    {"between the regions", {"afterrestart:unplug"}, false, Layout::BothCodes},
    {"after region 2", {"afterrestart:norestart"}, false, Layout::BothCodes},
    {"closing commands", {"reject:B6,10", "drop:1,tag=B6"}},
    {"closing commands", {"powerloss:frame=106"}, true},
    {"restart wait", {"norestart", "afterrestart:model:NAVIX", "afterrestart:oldcode"}},
    {"verification", {"afterrestart:corrupt:84,12,at=5"}},
    {"restore blocks", {"reject:B5-data,100,skip=15"}},
    {"restore blocks", {"unplug:frame=120", "powerloss:frame=125"}, true},
    {"header record", {"reject:B2,20", "reject:B2-data,20"}},
    {"read-back", {"reject:B4,100,skip=41", "afterrestart:badcell:73"}},
    {"clock", {"reject:97,10", "reject:97-data,10"}},
    {"final sleep", {"reject:A8,10"}},
};

// Once the update has sent four code blocks.
bool InTheUpload(FaultMatrix& m) { return m.BlockWrites(true) == 4; }

void AddDeviceFaults(std::vector<Scenario>& all)
{
    for (const Faults& f : kFaults)
        for (const std::string& spec : f.specs)
            all.push_back({f.phase, spec, f.fromStageOne ? AtStageOne(spec) : AtUpdate(spec), {}, f.layout});
    const Scenario more[] = {
        {"port", "writes refused from 1 s", [](FaultMatrix& m) { m.harness_->RefuseWritesFrom(m.harness_->Now() + 1.0); }},
        {"port", "cable out in the restart wait, back 30 s later",
         [](FaultMatrix& m) { m.harness_->PortGoneAt(m.harness_->Now() + 6.0, 30.0); }},
        {"port", "cable out in the backup", Armed([](FaultMatrix& m) { return m.FramesWithCommand(0xB4) > 10; },
                                                  [](FaultMatrix& m) { m.harness_->RefuseWritesFrom(m.harness_->Now()); })},
        {"port", "cable out in the upload, back 30 s later",
         Armed(InTheUpload, [](FaultMatrix& m) { m.harness_->PortGoneAt(m.harness_->Now(), 30.0); })},
        {"port", "one write refused in the upload",
         Armed(InTheUpload, [](FaultMatrix& m) { m.harness_->RefuseNextWrites(1); })},
        {"upload region 1", "empty logbook; reject:B5-data,100", [](FaultMatrix& m) {
             sim::ClearLogbook(m.harness_->Dev().Memory(), 512);
             m.original_ = m.harness_->Dev().Memory();
             AtUpdate("reject:B5-data,100")(m);
         }},
        {"files", "damaged backup file", [](FaultMatrix& m) { WriteBackupFirst(m, [](auto& b) { b[40] ^= 1; }); }},
        {"files", "foreign backup file", [](FaultMatrix& m) { WriteBackupFirst(m, [](auto& b) { b[17] = 9; }); }},
        {"files", "valid backup of this device", [](FaultMatrix& m) { WriteBackupFirst(m, [](auto&) {}); }},
        {"files", "unwritable program folder",
         [](FaultMatrix& m) { m.backupFolders_ = {m.folder_ / "FirmwareUpdate.lng", m.folder_ / "user"}; }},
    };
    all.insert(all.end(), std::begin(more), std::end(more));
}


When Frames(std::uint8_t command, int above)
{
    return [command, above](FaultMatrix& m) { return m.FramesWithCommand(command) > above; };
}

// An attempt that left the profile in its file (new code, then another model
// after the restart), Back, and the checks of page 1 passed again; the
// device falls silent in the next attempt's identification: still owed.
void TryAgainAfterBack(FaultMatrix& m)
{
    m.window_->BackCmd_Click();
    m.harness_->Dev().SetModelKey("PELORA");
    m.harness_->WakeDevice();
    m.window_->NextCmd_Click();
    ASSERT_EQ(m.window_->WizardStage(), 2);
    m.harness_->WakeDevice();
    m.harness_->Faults().UnplugAt(m.harness_->Now());
    m.window_->NextCmd_Click();
}

void AddDiverActions(std::vector<Scenario>& all)
{
    struct Phase { const char* name; When when; bool offered; Layout layout = Layout::Code1Only; };
    const Phase phases[] = {
        {"identification", [](FaultMatrix& m) { return m.window_->WizardStage() == 3 && m.FramesWithCommand(0x84) > 1; },
         false},
        {"backup", Frames(0xB4, 10), false},
        {"upload", [](FaultMatrix& m) { return m.BlockWrites(true) > 3; }, true},
        {"restart wait", CloseAfterRow(803), true},
        {"verification", CloseAfterRow(792), true},
        {"restore", [](FaultMatrix& m) { return m.LastRowIs(796) && m.BlockWrites(false) > 5; }, true},
        {"clock", Frames(0x97, 0), false},
        {"wait between the regions", [](FaultMatrix& m) { return m.LastRowIs(803) && m.FramesWithCommand(0xB7) == 0; },
         true, Layout::BothCodes},
        {"wait after region 2", [](FaultMatrix& m) { return m.LastRowIs(803) && m.FramesWithCommand(0xB9) > 0; }, true,
         Layout::BothCodes},
    };
    const std::pair<const char*, Diver> answers[] = {
        {"Yes, OK", {}}, {"No", {'N'}}, {"Esc", {'E'}}, {"Yes, Cancel", {'Y', 'C'}}, {"Yes, Esc", {'Y', 'E'}}};

    for (const Phase& p : phases) {
        const std::string close = std::string("Close in the ") + p.name;
        if (!p.offered) all.push_back({"close", close, {}, p.when, p.layout, {}, false});
        for (const auto& [said, diver] : answers)
            if (p.offered && (p.layout == Layout::Code1Only || diver.recovery != 'E'))
                all.push_back({"close", close + "; " + said, {}, p.when, p.layout, diver, true, true});
    }
    // Close while code goes in, the device restarts or the profile goes
    // back, and the diver lets the update run on: it finishes, nothing owed.
    for (const Phase& p : {phases[2], phases[3], phases[5]})
        for (const auto& [said, stop] : {std::pair{"No", 'N'}, {"Esc", 'E'}})
            all.push_back({"close", std::string("Close in the ") + p.name + "; " + said + " to stopping", {}, p.when,
                           p.layout, {'Y', 'O', 'Y', stop}, false, true});
    // A restore that failed to verify: the device's header differs because
    // this run wrote it, so the recovery writes the file back without asking.
    for (const auto& [said, diver] : {answers[1], answers[2]})
        all.push_back({"after a failed restore", std::string("badcell:73; ") + said, AtUpdate("afterrestart:badcell:73"),
                       {}, Layout::Code1Only, diver, true});
    all.push_back({"stale backup", "the device logged dives since; Esc keeps its profile", [](FaultMatrix& m) {
                       WriteBackupFirst(m, [](std::vector<std::uint8_t>& b) { b[0] ^= 1, b[16] ^= 1; });
                   }, {}, Layout::Code1Only, {'Y', 'O', 'E'}});
    all.push_back({"nothing to update", "a saved profile waits, block 0 unreadable", [](FaultMatrix& m) {
                       WriteBackupFirst(m, [](std::vector<std::uint8_t>&) {});
                       m.harness_->Dev().SetCodeVersion("1C", 1);
                       sim::ClearLogbook(m.harness_->Dev().Memory(), 512);
                       AtUpdate("reject:B4,100")(m);
                   }, {}, Layout::Code1Only, {}, true});
    // The update's first identification cannot be sent: the cable was pulled once the device slept.
    all.push_back({"first identification", "cable pulled", Armed(Frames(0xA8, 0), [](FaultMatrix& m) {
                       m.harness_->RefuseWritesFrom(m.harness_->Now());
                   }), {}, Layout::Code1Only, {}, false});
    all.push_back({"another attempt", "afterrestart:model:NAVIX; Back; the device silent", AtUpdate("afterrestart:model:NAVIX"),
                   {}, Layout::Code1Only, {}, true, false, TryAgainAfterBack});
}


}  // namespace

std::span<const Scenario> Scenarios()
{
    static const std::vector<Scenario> all = [] {
        std::vector<Scenario> all{{"none", "none"}};
        AddDeviceFaults(all);
        AddDiverActions(all);
        return all;
    }();
    return all;
}

}  // namespace matrix
