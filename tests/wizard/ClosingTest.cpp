#include "WizardFixture.h"

#include "platform/StringTable.h"

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

TEST_F(WizardTest, CloseWithAnOutstandingRestoreRunsTheRecoveryFirst)
{
    ASSERT_TRUE(Load());
    bool ranBeforeTidyUp = false;
    recovery_ = [&] {
        ranBeforeTidyUp = !window_->Link().State().LinkAbort && window_->Texts().IsOpen() &&
                          window_->Link().State().RxBuf.size() > 1;
    };
    window_->SetProfileSafe(false);
    EXPECT_THROW(window_->CloseCmd_Click(), ProgramEnded);
    EXPECT_TRUE(ranBeforeTidyUp);

    // With nothing outstanding the recovery does not run.
    MakeWindow();
    ASSERT_TRUE(Load());
    bool ran = false;
    recovery_ = [&] { ran = true; };
    EXPECT_THROW(window_->CloseCmd_Click(), ProgramEnded);
    EXPECT_FALSE(ran);
}

TEST_F(WizardTest, AFailingRecoveryDoesNotStopTheClosingSequence)
{
    configuration_ = "PELORA.1D.FWR|" + pelora::ConfigurationCheckValue() + "|Tool.exe|5000";
    ASSERT_TRUE(Load());
    recovery_ = [] { throw pelora::LinkRuntimeError("the serial port refused the write"); };
    window_->SetProfileSafe(false);
    EXPECT_THROW(window_->CloseCmd_Click(), ProgramEnded);
    EXPECT_EQ(launcher_.started.size(), 1u);
    EXPECT_FALSE(window_->Texts().IsOpen());
}
