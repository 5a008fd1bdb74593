#pragma once

// The fault matrix: the whole wizard, stage 1 to Close, once per scenario on
// the emulated device: a device or port fault, or something the diver does.
// Whatever happens, the diver's profile ends back on the device byte for byte
// or in a valid backup file where the next run finds it, the last box says
// truthfully where it is, no failure is reported as success, and the next
// run's update finishes the job.

#include "../wizard/WizardFixture.h"

#include <span>

namespace matrix {

using wizardtest::Layout;
class FaultMatrix;
using Step = std::function<void(FaultMatrix&)>;
using When = std::function<bool(FaultMatrix&)>;

// How the diver answers: the recovery question (Y, N, or E for Esc), the
// recovery's instructions (O: OK each time the device is connected again, up
// to three times; C: Cancel; E: Esc), the question about a backup older
// than the device's profile (Y: keep the device's; E: Esc), and the question
// whether to stop an update that is writing to the device (Y, N, E).
struct Diver {
    char recovery = 'Y', instructions = 'O', stale = 'Y', stop = 'Y';
};

struct Scenario {
    const char* phase;
    std::string fault;  // a fault spec of the emulator, or what the arrangement does
    Step arrange = {};
    When closeWhen = {};  // Close is pressed when this holds during the update
    Layout layout = Layout::Code1Only;
    Diver diver = {};
    std::optional<bool> recoveryOffered = {};  // whether Close must offer the recovery; unset: either
    bool stopAsked = false;                    // whether Close asks before it stops the update
    Step afterUpdate = {};                     // what the diver does then, before Close
};

class FaultMatrix : public wizardtest::WizardTest {
public:
    std::vector<std::string> UpdateRows() const;  // "icon|event" of each row after start-up
    bool LastRowIs(int text) const;
    int BlockWrites(bool code) const;  // data frames of code (true) or of the profile
};

Step Armed(When when, Step fault);  // the fault once `when` holds
Step AtUpdate(std::string spec);    // an emulator fault armed when the update starts
Step AtStageOne(std::string spec);
When CloseAfterRow(int text);
// A backup of this device as an earlier run left it, then changed.
void WriteBackupFirst(FaultMatrix& m, const std::function<void(std::vector<std::uint8_t>&)>& change);

std::span<const Scenario> Scenarios();

}  // namespace matrix
