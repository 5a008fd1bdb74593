#pragma once

#include "link/PortFinder.h"
#include "platform/Dialogs.h"
#include "platform/Launcher.h"
#include "platform/ProcessPriority.h"
#include "sim/VirtualHarness.h"
#include "support/Fakes.h"
#include "wizard/MFUMain.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace wizardtest {

// Thrown by the test's endProgram: the program ends here.
struct ProgramEnded {
    int exitCode;
};

using testsupport::ScriptedDialogs;
using testsupport::RecordingPriority;

class ScriptedPortFinder : public pelora::PortFinder {
public:
    std::deque<std::optional<std::string>> answers;
    int calls = 0;
    std::optional<std::string> FindInterfacePort() override;
};

class RecordingLauncher : public pelora::Launcher {
public:
    std::vector<std::string> started;
    bool StartDetached(const std::string& program, const std::string&) override
    {
        started.push_back(program);
        return true;
    }
};

// A window on the emulated device, in a folder of its own holding the
// language database and a firmware image.
class WizardTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Builds the window on a device with this configuration; the port finder
    // answers with the harness's port unless a test scripts it.
    void MakeWindow(sim::DeviceConfig device = {});
    // Runs start-up; false when the program ended there.
    bool Load();
    // Loads and passes the stage-1 checks, leaving the window at stage 2.
    void ReachStage2();
    // A text in this language column (1 is the first).
    std::string Text(int id, int column = 1) const;
    int FramesWithCommand(std::uint8_t command) const;

    std::filesystem::path folder_;
    std::string configuration_;
    std::unique_ptr<sim::VirtualHarness> harness_;
    ScriptedDialogs dialogs_;
    ScriptedPortFinder portFinder_;
    RecordingPriority priority_;
    RecordingLauncher launcher_;
    std::vector<int> endings_;
    testsupport::FixedLocalTime localTime_;
    // Where the window writes backups; empty: the window's own folder.
    pelora::BackupFolders backupFolders_;
    std::unique_ptr<pelora::MFUMain> window_;
    mutable std::map<int, std::unique_ptr<pelora::LanguageDb>> texts_;
};

}  // namespace wizardtest
