#pragma once

#include "ImageWriter.h"
#include "platform/StringTable.h"
#include "sim/VirtualHarness.h"
#include "support/Fakes.h"
#include "wizard/MFUMain.h"
#include "wizard/StepInstructions.h"
#include "wizard/TaskList.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSvgWidget>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include <unistd.h>

namespace wizardtest {

namespace fs = std::filesystem;
using Box = testsupport::ScriptedDialogs::Box;
using Icon = pelora::Dialogs::Icon;
using Buttons = pelora::Dialogs::Buttons;
using Answer = pelora::Dialogs::Answer;
using Layout = pelora::ImageLayout;

struct ProgramEnded {};  // thrown by the test's endProgram: the program ends here

// Finds the cable once it has been missing as often as a test says; starts
// the follow-on program, or fails to.
struct ScriptedPortFinder : pelora::PortFinder {
    int missing = 0, calls = 0;
    std::optional<std::string> FindInterfacePort() override
    {
        ++calls;
        return missing-- > 0 ? std::nullopt : std::optional<std::string>("/dev/ttyUSB0");
    }
};
struct RecordingLauncher : pelora::Launcher {
    std::vector<std::string> started;
    bool throws = false;
    bool StartDetached(const std::string& program, const std::string&) override
    {
        started.push_back(program);
        if (throws) throw std::runtime_error("cannot start " + program);
        return true;
    }
};

// A window on the emulated device, in a folder of its own holding the
// language database and a firmware image.
class WizardTest : public ::testing::Test {
public:
    void SetUp() override { FreshFolder(); }
    void TearDown() override
    {
        window_.reset();
        EXPECT_TRUE(dialogs_.Finished()) << "a scripted message box was never shown";
        fs::remove_all(folder_);
    }
    // The folder as installed, and the built-in configuration.
    void FreshFolder()
    {
        folder_ = fs::temp_directory_path() / ("wizardtest-" + std::to_string(::getpid()));
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        for (const char* file : {"FirmwareUpdate.lng", "PELORA.1D.FWR"})
            fs::copy_file(fs::path(PELORA_BIN_DIR) / file, folder_ / file);
        configuration_ = pelora::LoadString(pelora::ConfigurationString);
    }
    void WriteImage(Layout layout)
    {
        const auto bytes = fwrtool::WriteImage({.Layout = layout, .Code1BlockCount = 10, .Code2BlockCount = 10});
        std::ofstream(folder_ / "PELORA.1D.FWR", std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    // A window on a fresh device, with the files and configuration as they are now.
    void MakeWindow(sim::DeviceConfig device = {})
    {
        window_.reset();  // the window holds the old harness's port
        harness_ = std::make_unique<sim::VirtualHarness>(device);
        original_ = harness_->Dev().Memory();
        Rebuild();
    }
    // The window again on the same device.
    void Rebuild()
    {
        window_.reset();
        window_ = std::make_unique<pelora::MFUMain>(pelora::WizardServices{
            harness_->Port(), harness_->Clock(), harness_->Pump(), portFinder_, priority_, launcher_, boxes_,
            folder_.string(), configuration_, [this](int code) { endings_.push_back(code); throw ProgramEnded{}; },
            localTime_, backupFolders_, {}, languageColumn_});
    }
    bool Load() { return window_->Form_Load(); }
    // A text in this language column (1 is the first); a database per column,
    // as opening one derives its key, which is slow.
    std::string Text(int id, int column = 1) const
    {
        if (!texts_[column].IsOpen())
            texts_[column].OpenLanguageDb((folder_ / "FirmwareUpdate.lng").string(),
                                          pelora::LoadString(pelora::LanguageDbPassword), column);
        return texts_[column].GetText(id);
    }
    std::string LastBox() const { return dialogs_.shownTexts.empty() ? "" : dialogs_.shownTexts.back(); }
    int FramesWithCommand(std::uint8_t command) const
    {
        int count = 0;
        for (const auto& write : harness_->Writes()) count += !write.bytes.empty() && write.bytes[0] == command;
        return count;
    }
    // Virtual time passes with the window idle, as while a diver reads.
    void Wait(double seconds)
    {
        for (const double end = harness_->Now() + seconds; harness_->Now() < end;) harness_->Pump().Yield(end);
    }
    bool ProfileOnDevice() const { return harness_->Dev().Memory() == original_; }
    // What the diver sees at a glance: the page, the illustration, the search
    // line, the log, the progress bar, Print, which of Back and Next work, and
    // a busy cursor.
    std::string Controls() const
    {
        const auto& w = *window_;
        const std::string text = w.Lbl1()->text().toStdString();
        const auto is = [&](int stage) {
            return text == pelora::StepInstructionsText(stage) || text == pelora::StepInstructionsText(stage, &w.Texts());
        };
        std::string shown;
        const auto shows = [&w](const QWidget* part) { return part->isVisibleTo(&w); };
        for (const auto& [on, name] : {std::pair{shows(w.Lbl1()), is(1) ? "page1" : is(2) ? "page2" : "page?"},
                                       {shows(w.Image2()), "picture"}, {shows(w.SearchLbl()), "searching"},
                                       {shows(w.TaskLst()), "log"}, {shows(w.UpdateBar()), "bar"},
                                       {shows(w.PrintCmd()), "print"}, {w.BackCmd()->isEnabled(), "back"},
                                       {w.NextCmd()->isEnabled(), "next"}, {w.cursor().shape() == Qt::BusyCursor, "busy"}})
            if (on) shown += (shown.empty() ? "" : " ") + std::string(name);
        return shown;
    }

    fs::path folder_;
    std::string configuration_;
    int languageColumn_ = 0;  // as the demo's --language
    std::unique_ptr<sim::VirtualHarness> harness_;
    std::vector<std::uint8_t> original_;  // the device's memory before the window touched it
    testsupport::ScriptedDialogs dialogs_;
    pelora::Dialogs* boxes_ = &dialogs_;
    pelora::BackupFolders backupFolders_;
    ScriptedPortFinder portFinder_;
    testsupport::RecordingPriority priority_;
    RecordingLauncher launcher_;
    std::vector<int> endings_;
    testsupport::FixedLocalTime localTime_;
    std::unique_ptr<pelora::MFUMain> window_;
    mutable std::map<int, pelora::LanguageDb> texts_;
};

}  // namespace wizardtest
