#pragma once

#include "link/PortFinder.h"
#include "platform/Dialogs.h"
#include "platform/Launcher.h"
#include "platform/ProcessPriority.h"
#include "sim/VirtualHarness.h"
#include "wizard/MFUMain.h"

#include <gtest/gtest.h>

#include <deque>
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

// Message boxes answered from a script; any box the script does not expect
// fails the test.
class ScriptedDialogs : public pelora::Dialogs {
public:
    struct Box {
        Icon icon;
        Buttons buttons;
        std::string title;
        std::string text;
        Answer answer;
    };
    void Expect(Box box) { script_.push_back(std::move(box)); }
    Answer Show(Icon icon, Buttons buttons, const std::string& title, const std::string& text) override;
    bool Finished() const { return script_.empty(); }
    std::vector<std::string> shownTexts;

private:
    std::deque<Box> script_;
};

class ScriptedPortFinder : public pelora::PortFinder {
public:
    std::deque<std::optional<std::string>> answers;
    int calls = 0;
    std::optional<std::string> FindInterfacePort() override;
};

class RecordingPriority : public pelora::ProcessPriority {
public:
    std::vector<std::int32_t> classes;
    std::int32_t SetProcessPriority(std::int32_t, std::int64_t, std::int32_t PriorityClass) override
    {
        classes.push_back(PriorityClass);
        return PriorityClass;
    }
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
    std::string Text(int id) const;
    int FramesWithCommand(std::uint8_t command) const;

    std::filesystem::path folder_;
    std::string configuration_;
    std::unique_ptr<sim::VirtualHarness> harness_;
    ScriptedDialogs dialogs_;
    ScriptedPortFinder portFinder_;
    RecordingPriority priority_;
    RecordingLauncher launcher_;
    std::vector<int> endings_;
    std::function<void()> recovery_;
    std::unique_ptr<pelora::MFUMain> window_;
};

}  // namespace wizardtest
