#include "WizardFixture.h"

#include <set>

using namespace wizardtest;

// Leaving stage 1 checks the device and sends it to Deep Sleep; a failed
// check keeps page 1, with Next to try again (and to find a pulled cable).
TEST_F(WizardTest, AFailedCheckKeepsPageOneForAnotherTry)
{
    const Box stop{Icon::Stop, Buttons::Ok, "Firmware Update", "", Answer::Ok};
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::vector<Box> boxes;
        std::string says;     // how the box begins
        int searchesOnRetry;  // -1: the retry would fail again
    };
    const Case cases[] = {
        {"silent device", [&] { harness_->Faults().UnplugAt(0.0, 21.5); }, {}, "", 0},
        {"another model", [&] { harness_->Dev().SetModelKey("KALO"); },
         {{Icon::Exclamation, Buttons::Ok, "Firmware Update", Text(783) + " Pelora 1D!", Answer::Ok}}, "", -1},
        {"Deep Sleep refused", [&] { harness_->Faults().Reject(0xA8, 10); }, {stop},
         "Could not set DC into Deep Sleep", -1},
        {"cable pulled", [&] {
             harness_->Faults().UnplugAt(0.0, 3.0);
             harness_->At(1.0, [&] { harness_->Port().Close(); });  // the system drops the vanished port
         }, {stop}, "The connection to the interface cable was lost.", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MakeWindow();
        c.arrange();
        ASSERT_TRUE(Load());
        for (const Box& box : c.boxes) dialogs_.Expect(box);
        window_->NextCmd_Click();
        EXPECT_TRUE(dialogs_.Finished());
        EXPECT_TRUE(LastBox().starts_with(c.says)) << LastBox();
        EXPECT_EQ(window_->WizardStage(), 1);
        EXPECT_EQ(Controls(), "page1 next");
        if (c.searchesOnRetry < 0) continue;
        const int searches = portFinder_.calls;
        window_->NextCmd_Click();
        EXPECT_EQ(window_->WizardStage(), 2);
        EXPECT_EQ(portFinder_.calls - searches, c.searchesOnRetry);
    }
}

// Next and Back are off while the checks talk to the device, and a click
// that slips through starts nothing; page 2 follows. Next at stage 2 swaps
// the instructions for the log and runs the update with Next and Back off;
// Back after an update that failed clears the log and the failure for
// another round.
TEST_F(WizardTest, TheStagesWalkForthAndBack)
{
    MakeWindow();
    harness_->Faults().UnplugAt(0.0, 5.0);
    ASSERT_TRUE(Load());
    auto& w = *window_;
    std::string during;
    harness_->At(3.0, [&] {
        during = Controls();
        w.NextCmd_Click();
        w.BackCmd_Click();
    });
    w.NextCmd_Click();
    EXPECT_EQ(during, "page1");
    EXPECT_EQ(FramesWithCommand(0xA8), 1);
    EXPECT_EQ(harness_->Dev().CurrentMode(), sim::Mode::DeepSleep);
    ASSERT_EQ(Controls(), "page2 picture back next");
    harness_->WakeDevice();

    harness_->Faults().UnplugAt(harness_->Now());  // the update finds no device
    std::set<std::string> seen;
    harness_->SetIdleHook([&] {
        // From its start the update owes the profile a restore and wants no Deep Sleep.
        EXPECT_TRUE(!seen.empty() || (w.Saved().ProfileRestorePending && !w.Link().DeepSleepRequest));
        seen.insert(Controls());
    });
    w.NextCmd_Click();
    EXPECT_EQ(seen, std::set<std::string>{"log bar"});
    EXPECT_EQ(Controls(), "log back");
    w.NextCmd_Click();  // starts nothing: the stage stays
    EXPECT_EQ(w.WizardStage(), 3);

    ASSERT_TRUE(w.Link().State().CommFailed);
    w.Link().State().LinkAbort = w.Link().State().LinkCancel = true;  // as a refused write leaves them
    w.BackCmd_Click();
    EXPECT_EQ(Controls(), "page1 next");
    EXPECT_EQ(w.TaskLst()->topLevelItemCount(), 0);
    EXPECT_FALSE(w.Link().State().CommFailed);
    // Back starts afresh: the device connected again is identified.
    harness_->Faults().Clear();
    w.NextCmd_Click();
    EXPECT_EQ(w.WizardStage(), 2);
}
