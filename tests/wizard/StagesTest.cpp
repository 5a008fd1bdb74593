#include "WizardFixture.h"

#include "wizard/StepInstructions.h"
#include "wizard/TaskList.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSvgWidget>

using namespace wizardtest;
using Icon = pelora::Dialogs::Icon;
using Buttons = pelora::Dialogs::Buttons;
using Answer = pelora::Dialogs::Answer;

namespace {

QString Page(int stage) { return QString::fromStdString(pelora::StepInstructionsText(stage)); }

}  // namespace

TEST_F(WizardTest, SilentDeviceLeavesStageOneWithoutAWordAndTheNextTryStartsOver)
{
    MakeWindow();
    harness_->Faults().UnplugAt(0.0, 21.5);
    ASSERT_TRUE(Load());
    window_->NextCmd_Click();
    EXPECT_EQ(window_->WizardStage(), 1);
    EXPECT_EQ(window_->Lbl1()->text(), Page(1));
    EXPECT_EQ(FramesWithCommand(0x84), 12);
    EXPECT_TRUE(window_->NextCmd()->isEnabled());
    EXPECT_FALSE(window_->BackCmd()->isEnabled());

    // The device is back: the next Next starts again from the identification.
    window_->NextCmd_Click();
    EXPECT_EQ(window_->WizardStage(), 2);
    EXPECT_EQ(FramesWithCommand(0x84), 13);
}

TEST_F(WizardTest, AnotherModelGetsOneExclamationBoxEndingInTheProductName)
{
    sim::DeviceConfig other;
    other.modelKey = "KALO";
    MakeWindow(other);
    dialogs_.Expect({Icon::Exclamation, Buttons::Ok, "Firmware Update", Text(783) + " Pelora 1D!", Answer::Ok});
    ASSERT_TRUE(Load());
    window_->NextCmd_Click();
    EXPECT_EQ(window_->WizardStage(), 1);
    EXPECT_EQ(FramesWithCommand(0xA8), 0);
}

TEST_F(WizardTest, RefusedDeepSleepGetsTheStopBoxAndStageOne)
{
    MakeWindow();
    harness_->Faults().Reject(0xA8, 10);
    dialogs_.Expect({Icon::Stop, Buttons::Ok, "Firmware Update",
                     "Could not set DC into Deep Sleep mode. Please replease step 1 to 4 again.", Answer::Ok});
    ASSERT_TRUE(Load());
    window_->NextCmd_Click();
    EXPECT_EQ(window_->WizardStage(), 1);
    EXPECT_EQ(window_->Lbl1()->text(), Page(1));
    EXPECT_TRUE(window_->Link().State().CommFailed);
}

TEST_F(WizardTest, PassedChecksShowPageTwoAndBackReturnsToPageOne)
{
    ASSERT_TRUE(Load());
    window_->NextCmd_Click();
    auto& w = *window_;
    EXPECT_EQ(w.WizardStage(), 2);
    EXPECT_EQ(w.Lbl1()->text(), Page(2));
    EXPECT_FALSE(w.Image2()->isHidden());
    EXPECT_TRUE(w.BackCmd()->isEnabled());
    EXPECT_TRUE(w.NextCmd()->isEnabled());
    EXPECT_EQ(harness_->Dev().CurrentMode(), sim::Mode::DeepSleep);
    const auto& sleep = harness_->Writes().back().bytes;
    EXPECT_EQ(sleep, (std::vector<std::uint8_t>{0xA8, 0x55, 0x00}));

    w.BackCmd_Click();
    EXPECT_EQ(w.WizardStage(), 1);
    EXPECT_EQ(w.Lbl1()->text(), Page(1));
    EXPECT_TRUE(w.Image2()->isHidden());
    EXPECT_FALSE(w.BackCmd()->isEnabled());
    EXPECT_TRUE(w.NextCmd()->isEnabled());
}

TEST_F(WizardTest, NextAtStageTwoSwapsInstructionsForTheLogAndRunsTheUpdate)
{
    ReachStage2();
    auto& w = *window_;
    bool seen = false;
    harness_->SetIdleHook([&] {
        if (seen) return;
        seen = true;
        EXPECT_TRUE(w.XPFrame()->isHidden());
        EXPECT_FALSE(w.TaskLst()->isHidden());
        EXPECT_FALSE(w.NextCmd()->isEnabled());
        EXPECT_FALSE(w.BackCmd()->isEnabled()) << "no Back while the update runs";
        EXPECT_TRUE(w.Saved().ProfileRestorePending);
        EXPECT_TRUE(w.ProfileSafe());
        EXPECT_FALSE(w.Link().DeepSleepRequest);
        EXPECT_EQ(priority_.classes.back(), pelora::HIGH_PRIORITY_CLASS);
    });
    w.NextCmd_Click();
    EXPECT_TRUE(seen);
    EXPECT_EQ(w.WizardStage(), 3);
    // The stage was reset: normal priority, and Back waited for the update's end.
    EXPECT_EQ(priority_.classes.back(), pelora::NORMAL_PRIORITY_CLASS);
    EXPECT_TRUE(w.BackCmd()->isEnabled());
    EXPECT_FALSE(w.NextCmd()->isEnabled());

    // A second Next at stage 3 starts nothing.
    const std::size_t writes = harness_->Writes().size();
    w.NextCmd_Click();
    EXPECT_EQ(w.WizardStage(), 3);
    EXPECT_EQ(harness_->Writes().size(), writes);

    // Back empties and hides the log, and the checks can be run again.
    w.BackCmd_Click();
    EXPECT_EQ(w.WizardStage(), 1);
    EXPECT_TRUE(w.TaskLst()->isHidden());
    EXPECT_EQ(w.TaskLst()->topLevelItemCount(), 0);
    EXPECT_FALSE(w.XPFrame()->isHidden());
    EXPECT_EQ(w.Lbl1()->text(), Page(1));
    EXPECT_FALSE(w.Link().State().CommFailed);
}

TEST_F(WizardTest, NextAndBackAreDisabledWhileTheChecksRunAndClicksThenStartNothing)
{
    MakeWindow();
    harness_->Faults().UnplugAt(0.0, 5.0);
    ASSERT_TRUE(Load());
    bool nextEnabled = true;
    bool backEnabled = true;
    harness_->At(3.0, [&] {
        nextEnabled = window_->NextCmd()->isEnabled();
        backEnabled = window_->BackCmd()->isEnabled();
        window_->NextCmd_Click();  // a click that slipped through must be ignored
        window_->BackCmd_Click();
    });
    window_->NextCmd_Click();
    EXPECT_FALSE(nextEnabled);
    EXPECT_FALSE(backEnabled);
    EXPECT_EQ(window_->WizardStage(), 2);
    EXPECT_EQ(FramesWithCommand(0xA8), 1);
    EXPECT_TRUE(window_->NextCmd()->isEnabled());
    EXPECT_TRUE(window_->BackCmd()->isEnabled());
}

TEST_F(WizardTest, CablePulledDuringTheChecksIsReportedAndTheNextTryReconnects)
{
    MakeWindow();
    harness_->Faults().UnplugAt(0.0, 3.0);
    ASSERT_TRUE(Load());
    harness_->At(1.0, [&] { harness_->Port().Close(); });  // the system drops the vanished port
    dialogs_.Expect({Icon::Stop, Buttons::Ok, "Firmware Update",
                     "The connection to the interface cable was lost. Check that the cable is plugged in and "
                     "clipped on the DC, then click Next to try again.",
                     Answer::Ok});
    window_->NextCmd_Click();
    EXPECT_EQ(window_->WizardStage(), 1);
    EXPECT_TRUE(window_->NextCmd()->isEnabled());

    const int searchesBefore = portFinder_.calls;
    window_->NextCmd_Click();
    EXPECT_EQ(portFinder_.calls, searchesBefore + 1);
    EXPECT_TRUE(harness_->PortIsOpen());
    EXPECT_EQ(window_->WizardStage(), 2);
}

// "...or Cancel to quit" holds wherever the no-cable box appears.
TEST_F(WizardTest, CancelInTheNoCableBoxAfterAPulledCableQuits)
{
    ASSERT_TRUE(Load());
    harness_->Port().Close();  // the cable was pulled while the window waited
    portFinder_.answers = {std::nullopt};
    dialogs_.Expect({Icon::Stop, Buttons::OkCancel, Text(605), Text(593) + ".\r\n" + Text(802), Answer::Cancel});
    EXPECT_THROW(window_->NextCmd_Click(), ProgramEnded);
    EXPECT_EQ(endings_, std::vector<int>{0});
    EXPECT_TRUE(harness_->Writes().empty());
}
