// The window: start-up, the stages and every way out.
#include "WizardFixture.h"

#include "wizard/TitleBar.h"

#include <QAccessible>
#include <QApplication>
#include <QGroupBox>
#include <QTest>

#define SQLITE_HAS_CODEC 1
#include <sqlcipher/sqlite3.h>

using namespace wizardtest;

// Start-up goes on after a box it can live with, or ends before the window
// shows (1 only for unusable texts). Every other way out runs the whole closing
// sequence once and ends with 0: a pending recovery first, while link and texts
// still work, then the rest, whatever failed before.
TEST_F(WizardTest, StartUpGoesOnOrEndsAndEveryWayOutCloses)
{
    const std::string lng = (folder_ / "FirmwareUpdate.lng").string();
    const std::string shared = (folder_.parent_path() / "share/pelora-update/").string();
    const auto dropLanguageList = [&] {
        sqlite3* db = nullptr;
        const std::string password = pelora::LoadString(pelora::LanguageDbPassword);
        ASSERT_EQ(sqlite3_open(lng.c_str(), &db), SQLITE_OK);
        sqlite3_key(db, password.data(), static_cast<int>(password.size()));
        ASSERT_EQ(sqlite3_exec(db, "DROP TABLE LANGUAGES", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    };
    const auto configure = [&](const std::string& check, const std::string& runOnClose) {
        configuration_ = "PELORA.1D.FWR|" + check + "|" + runOnClose + "|5000";
        MakeWindow();
    };
    const auto english = [](Buttons buttons, Answer answer) {
        return Box{Icon::Stop, buttons, "Pelora 1D Firmware Update", "", answer};
    };
    const auto NoCable = [this](Answer answer) {
        return Box{Icon::Stop, Buttons::OkCancel, Text(605), Text(593) + ".\r\n" + Text(802), answer};
    };
    double closedAt = -1;
    struct Case {
        const char* name;
        std::function<void()> arrange, act;  // before start-up; on the window shown
        std::vector<Box> boxes;
        std::string outcome, says = "";  // says: how the last box begins
    };
    const Case cases[] = {
        {"another build's configuration", [&] { configure("someone-elses-check", ""); }, {}, {}, "ended 0, 0 searches"},
        {"language file damaged", [&] { std::ofstream(lng) << "damaged"; }, {}, {english(Buttons::Ok, Answer::Ok)},
         "ended 1, 0 searches", "The language file " + lng + " cannot be used: the file is damaged"},
        {"a language column the file lacks, chosen on the demo's command line",
         [&] { languageColumn_ = 6, MakeWindow(); }, {}, {english(Buttons::Ok, Answer::Ok)}, "ended 1, 0 searches",
         "The language file " + lng + " has no language column 6."},
        {"language list missing", dropLanguageList, {},
         {{Icon::Stop, Buttons::Ok, Text(280), Text(280) + " 0001", Answer::Ok}}, "shown on /dev/ttyUSB0, 1 searches"},
        {"no cable twice, then found", [&] { portFinder_.missing = 2; }, {}, {NoCable(Answer::Ok), NoCable(Answer::Ok)},
         "shown on /dev/ttyUSB0, 3 searches"},
        {"no cable, Cancel", [&] { portFinder_.missing = 1; }, {}, {NoCable(Answer::Cancel)}, "ended 0, 1 searches"},
        {"port refused, retried", [&] { harness_->SetPortOpenFailure("Permission denied"); }, {},
         {english(Buttons::OkCancel, Answer::Ok)}, "shown on /dev/ttyUSB0, 2 searches",
         "The interface cable was found on /dev/ttyUSB0, but the port could not be opened: Permission denied."},
        {"port refused, Cancel", [&] { harness_->SetPortOpenFailure("busy"); }, {},
         {english(Buttons::OkCancel, Answer::Cancel)}, "ended 0, 1 searches"},
        {"image missing", [&] { fs::remove(folder_ / "PELORA.1D.FWR"); }, {},
         {{Icon::Stop, Buttons::Ok, Text(280), "", Answer::Ok}}, "closed 0, 0 searches",
         Text(1050) + "\r\n" + (folder_ / "PELORA.1D.FWR").string() + "\r\n" + shared + "PELORA.1D.FWR"},
        {"Close during a wait", {}, [&] {
             harness_->Faults().UnplugAt(0.0);
             harness_->At(5.0, [&] { closedAt = harness_->Now(), window_->CloseCmd_Click(); });
             window_->NextCmd_Click();
         }, {}, "closed 0, 1 searches"},
        {"the window system's close", {}, [&] { window_->close(); }, {}, "closed 0, 1 searches"},
        {"a restore outstanding, the device silent; Next and Close again meanwhile",
         [&] { configure(pelora::ConfigurationCheckValue(), "Tool.exe"); }, [&] {
             window_->Saved().ProfileSafe = false;
             harness_->Faults().UnplugAt(harness_->Now());
             harness_->At(harness_->Now() + 0.5, [&] {
                 // The attempt shows in the log, under the rows so far.
                 const QTreeWidgetItem* newest = window_->TaskLst()->topLevelItem(window_->TaskLst()->NewestRow());
                 EXPECT_EQ(Controls() + ": " + newest->text(2).toStdString() + " " + newest->text(3).toStdString(),
                           "log next busy: " + Text(1033) + " ...");
                 const std::size_t sent = harness_->Writes().size();
                 window_->NextCmd_Click();
                 window_->CloseCmd_Click();
                 EXPECT_EQ(harness_->Writes().size(), sent);
             });
             launcher_.throws = true;  // nor does a failing follow-on program stop the closing
             window_->CloseCmd_Click();
         }, {{Icon::Exclamation, Buttons::YesNo, Text(817), Text(818), Answer::Yes},
             {Icon::Information, Buttons::OkCancel, Text(817), "", Answer::Ok},
             {Icon::Information, Buttons::OkCancel, Text(817), "", Answer::Cancel}},
         "closed 0, 1 searches, started Tool.exe", Text(1035) + "\r\n" + Text(150) + "\r\n\r\n1. "},
        {"Cancel in the no-cable box after a pulled cable", {}, [&] {
             harness_->Port().Close();
             portFinder_.missing = 1;
             window_->NextCmd_Click();
         }, {NoCable(Answer::Cancel)}, "closed 0, 2 searches"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FreshFolder();
        portFinder_ = {};
        launcher_ = {};
        languageColumn_ = 0;
        endings_.clear();
        MakeWindow();
        if (c.arrange) c.arrange();
        for (const Box& box : c.boxes) dialogs_.Expect(box);
        std::string outcome;
        try {
            if (!Load())
                outcome = "ended " + std::to_string(window_->ExitCode());
            else if (!c.act)
                outcome = "shown on " + (harness_->PortIsOpen() ? harness_->PortName() : "nothing");
            else
                window_->show(), c.act();
        } catch (const ProgramEnded&) {
            outcome = "closed " + std::to_string(endings_.size() == 1 ? endings_[0] : -1);
        }
        outcome += ", " + std::to_string(portFinder_.calls) + " searches";
        for (const std::string& program : launcher_.started)
            outcome += ", started " + fs::path(program).lexically_relative(folder_).string();
        EXPECT_EQ(outcome, c.outcome);
        EXPECT_TRUE(LastBox().starts_with(c.says)) << LastBox();
        if (!outcome.starts_with("closed")) continue;
        const auto& link = window_->Link().State();
        EXPECT_TRUE(link.LinkAbort && link.LinkCancel);
        EXPECT_EQ(link.RxBuf.size() + link.RxBlockBuf.size(), 2u);
        EXPECT_FALSE(window_->Texts().IsOpen() || window_->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        if (closedAt < 0) continue;
        // The one-second pause ran with the window still shown, and nothing was sent after Close.
        EXPECT_TRUE(harness_->Now() - closedAt >= 1.0 && window_->isVisible());
        for (const auto& write : harness_->Writes()) EXPECT_LE(write.time, closedAt);
        closedAt = -1;
    }
}

// Page 1 in the configured language's column, every part named for a screen
// reader, Next the default, focused and tabbing on to Close. A failed check
// keeps page 1 for another try, which finds a pulled cable again; a click while
// the checks wait starts nothing. Back on page 2 returns to page 1; Back after
// a failed update clears log and failure.
TEST_F(WizardTest, TheStagesWalkForthAndBack)
{
    ASSERT_NE(Text(800, 1), Text(800, 3));  // else a wrong column would pass unseen
    configuration_ = "PELORA.1D.FWR|" + pelora::ConfigurationCheckValue() + "||7000";
    MakeWindow();
    ASSERT_TRUE(Load());
    auto& w = *window_;
    const auto text = [&](int id) { return Text(id, 3); };
    EXPECT_EQ((QStringList{w.windowTitle(), w.XPFrame()->title()}),
              (QStringList{"Pelora 1D Firmware Update", QString::fromStdString(text(352)).toUpper()}));
    // A screen reader finds every part named, and what a button does described, in the texts' language.
    std::string unnamed;
    for (QWidget* part : w.findChildren<QWidget*>())
        if (const QString name = part->objectName(); !name.isEmpty() && !name.startsWith("qt_"))
            if (QAccessible::queryAccessibleInterface(part)->text(QAccessible::Name).isEmpty())
                unnamed += " " + name.toStdString();
    EXPECT_EQ(unnamed, "");
    const auto heard = [](QWidget* part) {
        const QAccessibleInterface* said = QAccessible::queryAccessibleInterface(part);
        return (said->text(QAccessible::Name) + " / " + said->text(QAccessible::Description)).toStdString();
    };
    EXPECT_EQ(heard(w.NextCmd()) + " | " + heard(w.TaskLst()),
              text(800) + " / " + text(1026) + " | " + text(1019) + " / " + text(1020));
    EXPECT_EQ(QAccessible::queryAccessibleInterface(&w)->role(), QAccessible::Window);
    EXPECT_TRUE(w.windowFlags().testFlag(Qt::WindowStaysOnTopHint) && w.NextCmd()->isDefault());
    EXPECT_EQ(Controls(), "page1 next");
    EXPECT_EQ((std::vector<QWidget*>{w.focusWidget(), w.BackCmd()->nextInFocusChain(), w.NextCmd()->nextInFocusChain()}),
              (std::vector<QWidget*>{w.NextCmd(), w.NextCmd(), w.CloseCmd()}));
    EXPECT_TRUE(harness_->BaudRate() == 38400 && harness_->Writes().empty());

    w.show();
    w.activateWindow();  // disabling the focused Next moves the focus away
    const Box stop{Icon::Stop, Buttons::Ok, text(820), "", Answer::Ok};
    const std::tuple<const char*, std::function<void()>, Box, std::string> failures[] = {
        {"silent device", [&] { harness_->Faults().UnplugAt(harness_->Now()); }, stop, text(150) + "\r\n" + text(1034)},
        {"another model", [&] { harness_->Dev().SetModelKey("KALO"); },
         {Icon::Exclamation, Buttons::Ok, text(820), text(783) + " Pelora 1D!", Answer::Ok}, ""},
        {"Deep Sleep refused", [&] { harness_->Faults().Reject(0xA8, 10); }, stop, text(1057)},
        {"cable pulled", [&] {
             harness_->Faults().UnplugAt(harness_->Now(), 3.0);
             harness_->At(harness_->Now() + 1.0, [&] { harness_->Port().Close(); });  // the system drops it
         }, stop, text(1058)},
    };
    for (const auto& [name, arrange, box, says] : failures) {
        SCOPED_TRACE(name);
        arrange();
        dialogs_.Expect(box);
        w.NextCmd_Click();
        EXPECT_TRUE(LastBox().starts_with(says)) << LastBox();
        EXPECT_EQ(std::to_string(w.WizardStage()) + " " + Controls(), "1 page1 next");
        harness_->Faults().Clear();
        harness_->Dev().SetModelKey("PELORA");
    }
    const int searches = portFinder_.calls, sleeps = FramesWithCommand(0xA8);
    std::string during;
    harness_->Faults().UnplugAt(harness_->Now(), 3.0);
    harness_->At(harness_->Now() + 2.0, [&] {
        during = Controls() + ": " + w.SearchLbl()->text().toStdString();
        w.NextCmd_Click();
        w.BackCmd_Click();
    });
    w.NextCmd_Click();
    EXPECT_EQ((std::pair{portFinder_.calls - searches, FramesWithCommand(0xA8) - sleeps}), (std::pair{1, 1}));
    EXPECT_EQ(during, "page1 searching busy: " + Text(1033, 3));
    EXPECT_EQ(harness_->Dev().CurrentMode(), sim::Mode::DeepSleep);
    EXPECT_EQ(w.focusWidget(), w.NextCmd());
    ASSERT_EQ(Controls(), "page2 picture back next");
    w.BackCmd_Click();
    EXPECT_EQ(Controls(), "page1 next");
    harness_->WakeDevice();
    w.NextCmd_Click();
    ASSERT_EQ(w.WizardStage(), 2);

    harness_->WakeDevice();
    harness_->Faults().UnplugAt(harness_->Now());  // the update finds no device
    w.NextCmd_Click();
    EXPECT_EQ(Controls(), "log back");
    w.NextCmd_Click();  // starts nothing: the stage stays
    EXPECT_EQ(w.WizardStage(), 3);
    ASSERT_TRUE(w.Link().State().CommFailed);
    w.Link().State().LinkAbort = w.Link().State().LinkCancel = true;  // as a refused write leaves them
    w.BackCmd_Click();
    EXPECT_EQ(Controls() + ", rows " + std::to_string(w.TaskLst()->topLevelItemCount()), "page1 next, rows 0");
    EXPECT_FALSE(w.Link().State().CommFailed);
    harness_->Faults().Clear();
    w.NextCmd_Click();  // Back starts afresh: the device connected again is identified
    EXPECT_EQ(w.WizardStage(), 2);
}
