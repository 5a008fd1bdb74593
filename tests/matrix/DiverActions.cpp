// The fault matrix's diver actions: Close in each phase of the update, and
// Yes, No, Esc and Cancel on each question and instruction box.
#include "FaultMatrix.h"

#include "sim/Memory.h"

namespace matrix {

namespace {

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

std::vector<Scenario> Build()
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

    std::vector<Scenario> all;
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
    return all;
}

}  // namespace

std::span<const Scenario> DiverActionScenarios()
{
    static const std::vector<Scenario> all = Build();
    return all;
}

}  // namespace matrix
