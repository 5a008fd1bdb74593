#include "WizardFixture.h"

using namespace wizardtest;
namespace fs = std::filesystem;

// Every way out runs the whole closing sequence and ends with 0: a pending
// recovery first, while the link and the texts still work, then the link
// stopped, the follow-on program started and the texts closed, whatever
// failed before.
TEST_F(WizardTest, EveryWayOutRunsTheClosingSequence)
{
    const auto close = [this] { window_->CloseCmd_Click(); };
    double closedAt = -1;
    struct Case {
        const char* name;
        std::string runOnClose;
        std::function<void()> act, check = [] {};
    };
    const Case cases[] = {
        {"Close during a wait", "", [&] {
             harness_->Faults().UnplugAt(0.0);
             harness_->At(5.0, [&] { closedAt = harness_->Now(); close(); });
             window_->NextCmd_Click();
         }, [&] {
             // The one-second pause ran, and nothing was sent after Close.
             EXPECT_GE(harness_->Now() - closedAt, 1.0);
             for (const auto& write : harness_->Writes()) EXPECT_LE(write.time, closedAt);
         }},
        {"Close with a restore outstanding, the recovery failing", "Tool.exe", [&] {
             window_->Saved().ProfileSafe = false;
             dialogs_.Expect({Icon::Exclamation, Buttons::YesNo, Text(817), Text(818), Answer::Yes});
             dialogs_.Expect({Icon::Information, Buttons::OkCancel, Text(817), "", Answer::Ok});
             harness_->Port().Close();  // the port refuses to send: the recovery ends at once
             close();
         }},
        {"Cancel in the no-cable box after a pulled cable", "", [&] {
             harness_->Port().Close();
             portFinder_.missing = 1;
             dialogs_.Expect(NoCable(Answer::Cancel));
             window_->NextCmd_Click();
         }},
        {"image missing at start-up", "", [&] {
             MakeWindow();  // a window not yet loaded
             fs::remove(folder_ / "PELORA.1D.FWR");
             Load();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FreshFolder();
        configuration_ = "PELORA.1D.FWR|" + pelora::ConfigurationCheckValue() + "|" + c.runOnClose + "|5000";
        launcher_.started.clear();
        endings_.clear();
        MakeWindow();
        ASSERT_TRUE(Load());
        EXPECT_THROW(c.act(), ProgramEnded);
        EXPECT_TRUE(dialogs_.Finished());
        EXPECT_EQ(endings_, std::vector<int>{0});
        const auto& link = window_->Link().State();
        EXPECT_TRUE(link.LinkAbort);
        EXPECT_TRUE(link.LinkCancel);
        EXPECT_EQ(link.RxBuf.size() + link.RxBlockBuf.size(), 2u);
        EXPECT_FALSE(window_->Texts().IsOpen());
        EXPECT_EQ(launcher_.started, c.runOnClose.empty() ? std::vector<std::string>{}
                                                          : std::vector{(folder_ / c.runOnClose).string()});
        c.check();
    }
}
