// The fault matrix's diver actions: Close in each phase of the update, and
// Yes, No, Esc and Cancel on each question and instruction box.
#include "FaultMatrix.h"

#include "sim/Memory.h"

namespace matrix {

namespace {

std::function<bool(FaultMatrix&)> Frames(std::uint8_t command, int above)
{
    return [command, above](FaultMatrix& m) { return m.FramesWithCommand(command) > above; };
}

// A cable pulled once the device is asleep: the update's first
// identification cannot be sent.
void PullCableBeforeTheUpdate(FaultMatrix& m)
{
    m.harness_->SetIdleHook([&m, pulled = false]() mutable {
        if (pulled || m.FramesWithCommand(0xA8) == 0) return;
        pulled = true;
        m.harness_->RefuseWritesFrom(m.harness_->Now());
    });
}

std::vector<Scenario> Build()
{
    using Layout = pelora::ImageLayout;
    struct Phase { const char* name; std::function<bool(FaultMatrix&)> when; bool offered; Layout layout; };
    const Phase phases[] = {
        {"identification", [](FaultMatrix& m) { return m.window_->WizardStage() == 3 && m.FramesWithCommand(0x84) > 1; },
         false, Layout::Code1Only},
        {"backup", Frames(0xB4, 10), false, Layout::Code1Only},
        {"upload", [](FaultMatrix& m) { return m.BlockWrites(true) > 3; }, true, Layout::Code1Only},
        {"restart wait", CloseAfterRow(803), true, Layout::Code1Only},
        {"verification", CloseAfterRow(792), true, Layout::Code1Only},
        {"restore", [](FaultMatrix& m) { return m.LastRowIs(796) && m.BlockWrites(false) > 5; }, true, Layout::Code1Only},
        {"clock", Frames(0x97, 0), false, Layout::Code1Only},
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
        if (!p.offered) {
            all.push_back({"close", close, {}, p.when, p.layout, {}, false});
            continue;
        }
        const bool twoRegions = p.layout == Layout::BothCodes;
        for (const auto& [said, diver] : answers)
            if (!twoRegions || diver.recovery != 'E')
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
    all.push_back({"first identification", "cable pulled", PullCableBeforeTheUpdate, {}, Layout::Code1Only, {}, false});
    return all;
}

}  // namespace

std::span<const Scenario> DiverActionScenarios()
{
    static const std::vector<Scenario> all = Build();
    return all;
}

}  // namespace matrix
