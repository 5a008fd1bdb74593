// The fault matrix's device and port faults: each fault at each phase of
// the update, and damaged, foreign or stale backup files.
#include "FaultMatrix.h"

namespace matrix {

namespace {

const Scenario kScenarios[] = {
    {"none", "none"},
    {"stage-1 checks", "unplug:frame=1", AtStageOne("unplug:frame=1")},
    {"stage-1 checks", "reject:A8,10", AtStageOne("reject:A8,10")},
    {"stage-1 checks", "corrupt:84,1,at=3", AtStageOne("corrupt:84,1,at=3")},
    {"stage-1 checks", "stray:0.3", AtStageOne("stray:0.3")},
    {"first identification", "unplug", AtUpdate("unplug")},
    {"first identification", "unplug:for=5", AtUpdate("unplug:for=5")},
    {"first identification", "drop:1", AtUpdate("drop:1")},
    // Single bytes at the pace of the wire (a 5 ms gap would be a 2,000-baud line).
    {"first identification", "chunks:1,0.00026", AtUpdate("chunks:1,0.00026")},
    {"first identification", "delay:frame=3,by=2.5", AtStageOne("delay:frame=3,by=2.5")},
    {"first identification", "noise:84,1", AtUpdate("noise:84,1")},
    {"block 0", "reject:B4,4", AtUpdate("reject:B4,4")},
    {"block 0", "short:B4,1", AtUpdate("short:B4,1")},
    {"block 0", "corrupt:B4,1,at=75", AtUpdate("corrupt:B4,1,at=75")},
    {"backup blocks", "corrupt:B4,1,skip=30,at=-3", AtUpdate("corrupt:B4,1,skip=30,at=-3")},
    {"block 0", "long:B4,1", AtUpdate("long:B4,1")},
    {"backup blocks", "reject:B4,100,skip=10", AtUpdate("reject:B4,100,skip=10")},
    {"backup blocks", "unplug:frame=22", AtStageOne("unplug:frame=22")},
    {"backup blocks", "drop:3,tag=B4,skip=5", AtUpdate("drop:3,tag=B4,skip=5")},
    {"backup blocks", "delay:frame=10,by=0.5", AtStageOne("delay:frame=10,by=0.5")},
    {"backup blocks", "powerloss:frame=17", AtStageOne("powerloss:frame=17")},
    {"upload region 1", "reject:B5-data,100,skip=4", AtUpdate("reject:B5-data,100,skip=4")},
    {"upload region 1", "powerloss:5", AtUpdate("powerloss:5")},
    {"upload region 1", "unplug:frame=90", AtStageOne("unplug:frame=90")},
    {"upload region 1", "drop:2,tag=B5-data", AtUpdate("drop:2,tag=B5-data")},
    {"upload region 1", "delay:frame=95,by=0.3", AtStageOne("delay:frame=95,by=0.3")},
    {"upload region 2", "reject:B7-data,100,skip=3", AtUpdate("reject:B7-data,100,skip=3"), {},
     pelora::ImageLayout::BothCodes},
    {"between the regions", "afterrestart:unplug", AtUpdate("afterrestart:unplug"), {}, pelora::ImageLayout::BothCodes},
    {"after region 2", "afterrestart:norestart", AtUpdate("afterrestart:norestart"), {},
     pelora::ImageLayout::BothCodes},
    {"closing commands", "reject:B6,10", AtUpdate("reject:B6,10")},
    {"closing commands", "powerloss:frame=106", AtStageOne("powerloss:frame=106")},
    {"closing commands", "drop:1,tag=B6", AtUpdate("drop:1,tag=B6")},
    {"restart wait", "norestart", AtUpdate("norestart")},
    {"restart wait", "afterrestart:model:NAVIX", AtUpdate("afterrestart:model:NAVIX")},
    {"restart wait", "afterrestart:oldcode", AtUpdate("afterrestart:oldcode")},
    {"verification", "afterrestart:corrupt:84,12,at=5", AtUpdate("afterrestart:corrupt:84,12,at=5")},
    {"restore blocks", "reject:B5-data,100,skip=15", AtUpdate("reject:B5-data,100,skip=15")},
    {"restore blocks", "unplug:frame=120", AtStageOne("unplug:frame=120")},
    {"restore blocks", "powerloss:frame=125", AtStageOne("powerloss:frame=125")},
    {"header record", "reject:B2,20", AtUpdate("reject:B2,20")},
    {"header record", "reject:B2-data,20", AtUpdate("reject:B2-data,20")},
    {"read-back", "reject:B4,100,skip=41", AtUpdate("reject:B4,100,skip=41")},
    {"read-back", "badcell:73", AtUpdate("afterrestart:badcell:73")},
    {"clock", "reject:97,10", AtUpdate("reject:97,10")},
    {"clock", "reject:97-data,10", AtUpdate("reject:97-data,10")},
    {"final sleep", "reject:A8,10", AtUpdate("reject:A8,10")},
    {"port", "writes refused from 1 s", [](FaultMatrix& m) { m.harness_->RefuseWritesFrom(m.harness_->Now() + 1.0); }},
    {"port", "cable out in the restart wait, back 30 s later",
     [](FaultMatrix& m) { m.harness_->PortGoneAt(m.harness_->Now() + 6.0, 30.0); }},
    {"port", "cable out in the backup", [](FaultMatrix& m) {
         m.harness_->SetIdleHook([&m, armed = false]() mutable {
             if (!armed && m.FramesWithCommand(0xB4) > 10) armed = true, m.harness_->RefuseWritesFrom(m.harness_->Now());
         });
     }},
    {"port", "cable out in the upload, back 30 s later", [](FaultMatrix& m) {
         m.harness_->SetIdleHook([&m, armed = false]() mutable {
             if (!armed && m.BlockWrites(true) == 4) armed = true, m.harness_->PortGoneAt(m.harness_->Now(), 30.0);
         });
     }},
    {"port", "one write refused in the upload", [](FaultMatrix& m) {
         m.harness_->SetIdleHook([&m, armed = false]() mutable {
             if (!armed && m.BlockWrites(true) == 4) armed = true, m.harness_->RefuseNextWrites(1);
         });
     }},
    {"files", "damaged backup file", [](FaultMatrix& m) { WriteBackupFirst(m, [](auto& b) { b[40] ^= 1; }); }},
    {"files", "foreign backup file", [](FaultMatrix& m) { WriteBackupFirst(m, [](auto& b) { b[17] = 9; }); }},
    {"files", "valid backup of this device", [](FaultMatrix& m) { WriteBackupFirst(m, [](auto&) {}); }},
    {"files", "unwritable program folder", [](FaultMatrix& m) {
         m.backupFolders_ = {m.folder_ / "FirmwareUpdate.lng", m.folder_ / "user"};
     }},
};

}  // namespace

std::span<const Scenario> DeviceFaultScenarios() { return kScenarios; }

}  // namespace matrix
