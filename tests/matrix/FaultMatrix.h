#pragma once

// The fault matrix: the whole wizard, stage 1 to Close, once per scenario on
// the emulated device: a device or port fault, or something the diver does.
// Whatever happens, the diver's profile ends back on the device byte for byte
// or in a valid backup file where the next run finds it, the last box says
// truthfully where it is, no failure is reported as success, and the next
// run's update finishes the job.

#include "../wizard/WizardFixture.h"

#include <functional>
#include <span>
#include <string>
#include <vector>

namespace matrix {

// How the diver answers: the recovery question (Y, N, or E for Esc), the
// recovery's instructions (O: OK each time the device is connected again, up
// to three times; C: Cancel; E: Esc), the question about a backup older
// than the device's profile (Y: keep the device's; E: Esc), and the question
// whether to stop an update that is writing to the device (Y, N, E).
struct Diver {
    char recovery = 'Y';
    char instructions = 'O';
    char stale = 'Y';
    char stop = 'Y';
};

class FaultMatrix;

struct Scenario {
    const char* phase;
    std::string fault;  // a fault spec of the emulator, or what the arrangement does
    std::function<void(FaultMatrix&)> arrange = {};
    // Close is pressed when this holds during the update.
    std::function<bool(FaultMatrix&)> closeWhen = {};
    pelora::ImageLayout layout = pelora::ImageLayout::Code1Only;
    Diver diver = {};
    // Whether Close must offer the recovery; unset: either may be right.
    std::optional<bool> recoveryOffered = {};
    // Whether Close asks before it stops the update.
    bool stopAsked = false;
};

using Answer = pelora::Dialogs::Answer;

// Answers every box as the scenario's diver would.
class DiverDialogs : public pelora::Dialogs {
public:
    Diver diver;
    std::function<bool()> bringDeviceBack;  // true when it answers again
    int instructions = 0;
    bool restoreAsked = false;  // OK to the recovery with the device answering again
    bool recoveryOffered = false;
    bool stopAsked = false;
    std::string lastBox;
    Answer Show(Icon icon, Buttons buttons, const std::string& title, const std::string& text) override;
    Answer Ask(Icon icon, Buttons buttons, const std::string& title, const std::string& text, Answer keeps) override;
};

class FaultMatrix : public wizardtest::WizardTest {
public:
    using WizardTest::FramesWithCommand;
    using WizardTest::folder_;
    using WizardTest::harness_;
    using WizardTest::window_;

    // Runs the scenario and checks its promise; returns its row of the table.
    std::string RunAndCheck(const Scenario& s);

    std::vector<std::string> UpdateRows() const;  // "icon|event" of each row after start-up
    bool HasRow(int text) const;
    bool LastRowIs(int text) const;
    int BlockWrites(bool code) const;

    pelora::BackupFolders backupFolders_;
    std::vector<std::uint8_t> original_;

private:
    void Run(const Scenario& s);
    void CheckTheUpdatesOwnWords();
    void NextRunFinishesTheJob();
    std::string WhereIsTheProfile() const;
    std::vector<std::filesystem::path> BackupFolders() const;
    std::filesystem::path FileTheLastBoxNames() const;
    bool FileHoldsTheProfile(const std::filesystem::path& path) const;
    bool BringDeviceBack();
    void RebuildWindowWith(pelora::Dialogs* dialogs);

    DiverDialogs diver_;
    std::vector<std::string> rows_;
    bool updateEnded_ = false;
    bool committed_ = false;
    bool onDeviceAfterUpdate_ = false;
    bool inFileAfterUpdate_ = false;
    bool closed_ = false;
};

// Helpers for the tables.
void Fault(FaultMatrix& m, const std::string& spec);
std::function<void(FaultMatrix&)> AtUpdate(std::string spec);  // armed when the update starts
std::function<void(FaultMatrix&)> AtStageOne(std::string spec);
std::function<bool(FaultMatrix&)> CloseAfterRow(int text);
// A backup of this device as an earlier run left it, then changed.
void WriteBackupFirst(FaultMatrix& m, const std::function<void(std::vector<std::uint8_t>&)>& change);

std::span<const Scenario> DeviceFaultScenarios();
std::span<const Scenario> DiverActionScenarios();

}  // namespace matrix
