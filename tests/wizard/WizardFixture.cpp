#include "WizardFixture.h"

#include "platform/StringTable.h"
#include "texts/LanguageDb.h"

namespace wizardtest {

std::optional<std::string> ScriptedPortFinder::FindInterfacePort()
{
    ++calls;
    if (answers.empty()) return std::string("/dev/emulated");
    auto answer = answers.front();
    answers.pop_front();
    return answer;
}

void WizardTest::SetUp()
{
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    folder_ = std::filesystem::temp_directory_path() /
              ("wizardtest-" + std::to_string(::getpid()) + "-" + test->test_suite_name() + "-" + test->name());
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
    const std::filesystem::path bin = PELORA_BIN_DIR;
    std::filesystem::copy_file(bin / "FirmwareUpdate.lng", folder_ / "FirmwareUpdate.lng");
    std::filesystem::copy_file(bin / "PELORA.1D.FWR", folder_ / "PELORA.1D.FWR");
    configuration_ = pelora::LoadString(pelora::ConfigurationString);
}

void WizardTest::TearDown()
{
    window_.reset();
    harness_.reset();
    EXPECT_TRUE(dialogs_.Finished()) << "a scripted message box was never shown";
    std::filesystem::remove_all(folder_);
}

void WizardTest::MakeWindow(sim::DeviceConfig device)
{
    window_.reset();  // the window holds the old harness's port
    harness_ = std::make_unique<sim::VirtualHarness>(device);
    auto endProgram = [this](int exitCode) {
        endings_.push_back(exitCode);
        throw ProgramEnded{exitCode};
    };
    pelora::WizardServices services{harness_->Port(), harness_->Clock(), harness_->Pump(), portFinder_,
                                    priority_,        launcher_,         &dialogs_,        folder_.string(),
                                    configuration_,   endProgram,        localTime_,       backupFolders_};
    window_ = std::make_unique<pelora::MFUMain>(std::move(services));
}

bool WizardTest::Load()
{
    if (!window_) MakeWindow();
    return window_->Form_Load();
}

void WizardTest::ReachStage2()
{
    ASSERT_TRUE(Load());
    window_->NextCmd_Click();
    ASSERT_EQ(window_->WizardStage(), 2);
    harness_->WakeDevice();
}

// Opening the database derives its key, which is slow: one per column will do.
std::string WizardTest::Text(int id, int column) const
{
    auto& texts = texts_[column];
    if (!texts) {
        texts = std::make_unique<pelora::LanguageDb>();
        texts->OpenLanguageDb((folder_ / "FirmwareUpdate.lng").string(),
                              pelora::LoadString(pelora::LanguageDbPassword), column);
    }
    return texts->GetText(id);
}

int WizardTest::FramesWithCommand(std::uint8_t command) const
{
    int count = 0;
    for (const auto& write : harness_->Writes())
        if (!write.bytes.empty() && write.bytes[0] == command) ++count;
    return count;
}

}  // namespace wizardtest
