// The fault matrix's device and port faults: each fault at each phase of
// the update, and damaged, foreign or stale backup files.
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

std::vector<Scenario> Build()
{
    std::vector<Scenario> all{{"none", "none"}};
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
    return all;
}

}  // namespace

std::span<const Scenario> DeviceFaultScenarios()
{
    static const std::vector<Scenario> all = Build();
    return all;
}

}  // namespace matrix
