#include "WizardFixture.h"

#include "platform/StringTable.h"

#include <fstream>

using namespace wizardtest;

TEST_F(WizardTest, CloseDuringAWaitStopsTheTransactionAndEndsTheProgram)
{
    MakeWindow();
    harness_->Faults().UnplugAt(0.0);
    ASSERT_TRUE(Load());
    double closedAt = -1;
    harness_->At(5.0, [&] {
        closedAt = harness_->Now();
        window_->CloseCmd_Click();
    });
    EXPECT_THROW(window_->NextCmd_Click(), ProgramEnded);
    EXPECT_EQ(endings_, std::vector<int>{0});

    const auto& link = window_->Link().State();
    EXPECT_TRUE(link.LinkAbort);
    EXPECT_TRUE(link.LinkCancel);
    EXPECT_EQ(link.RxBuf.size(), 1u);
    EXPECT_EQ(link.RxBlockBuf.size(), 1u);
    EXPECT_FALSE(window_->Texts().IsOpen());
    // The one-second pause ran, and nothing was sent after Close.
    EXPECT_GE(harness_->Now() - closedAt, 1.0);
    for (const auto& write : harness_->Writes()) EXPECT_LE(write.time, closedAt);
    EXPECT_TRUE(launcher_.started.empty());
}

TEST_F(WizardTest, CloseStartsTheFollowOnProgramFromTheApplicationFolder)
{
    configuration_ = "PELORA.1D.FWR|" + pelora::ConfigurationCheckValue() + "|Tool.exe|5000";
    ASSERT_TRUE(Load());
    EXPECT_THROW(window_->CloseCmd_Click(), ProgramEnded);
    ASSERT_EQ(launcher_.started.size(), 1u);
    EXPECT_EQ(launcher_.started[0], (folder_ / "Tool.exe").string());
}

// The recovery runs first, while the link and the texts still work; a
// declined recovery keeps the diver's file in the archive folder.
TEST_F(WizardTest, CloseWithAnOutstandingRestoreOffersTheRecoveryFirst)
{
    using Icon = pelora::Dialogs::Icon;
    using Buttons = pelora::Dialogs::Buttons;
    using Answer = pelora::Dialogs::Answer;
    ASSERT_TRUE(Load());
    const auto backup = folder_ / "513.004711.bin";
    std::ofstream(backup) << "the diver's profile";
    window_->Saved().BackupFilePath = backup.string();
    window_->Saved().ProfileSafe = false;
    dialogs_.Expect({Icon::Exclamation, Buttons::YesNo, Text(817), Text(818), Answer::No});
    const auto sent = harness_->Writes().size();
    EXPECT_THROW(window_->CloseCmd_Click(), ProgramEnded);
    EXPECT_EQ(harness_->Writes().size(), sent);
    EXPECT_FALSE(std::filesystem::exists(backup));
    EXPECT_TRUE(std::filesystem::exists(folder_ / "archive" / "513.004711.20260305-140709.bin"));

    // With nothing outstanding no box is shown (the script would fail).
    MakeWindow();
    ASSERT_TRUE(Load());
    EXPECT_THROW(window_->CloseCmd_Click(), ProgramEnded);
}

TEST_F(WizardTest, AFailingRecoveryDoesNotStopTheClosingSequence)
{
    using Icon = pelora::Dialogs::Icon;
    using Buttons = pelora::Dialogs::Buttons;
    using Answer = pelora::Dialogs::Answer;
    configuration_ = "PELORA.1D.FWR|" + pelora::ConfigurationCheckValue() + "|Tool.exe|5000";
    ASSERT_TRUE(Load());
    window_->Saved().ProfileSafe = false;
    dialogs_.Expect({Icon::Exclamation, Buttons::YesNo, Text(817), Text(818), Answer::Yes});
    dialogs_.Expect({Icon::Information, Buttons::OkCancel, Text(817), "", Answer::Ok});
    harness_->Port().Close();  // the port refuses to send: the recovery ends at once
    EXPECT_THROW(window_->CloseCmd_Click(), ProgramEnded);
    EXPECT_EQ(priority_.classes, std::vector<std::int32_t>{pelora::HIGH_PRIORITY_CLASS});
    EXPECT_EQ(launcher_.started.size(), 1u);
    EXPECT_FALSE(window_->Texts().IsOpen());
}
