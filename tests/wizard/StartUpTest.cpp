#include "WizardFixture.h"

#include "wizard/TitleBar.h"

#include <QGroupBox>

#include <fstream>

#define SQLITE_HAS_CODEC 1
#include <sqlcipher/sqlite3.h>

using namespace wizardtest;
using pelora::TaskList;

// The configured language's column gives every caption; the window opens
// on page 1, on top, its log rows stamped with the time, having sent
// nothing to the device.
TEST_F(WizardTest, StartUpDressesStageOneInTheConfiguredLanguage)
{
    ASSERT_NE(Text(800, 1), Text(800, 3));  // else a wrong column would pass unseen
    configuration_ = "PELORA.1D.FWR|" + pelora::ConfigurationCheckValue() + "||7000";
    MakeWindow();
    const QString before = TaskList::FormatTime(QTime::currentTime());
    ASSERT_TRUE(Load());
    const QString after = TaskList::FormatTime(QTime::currentTime());
    auto& w = *window_;
    auto text = [&](int id) { return QString::fromStdString(Text(id, 3)); };
    const QTreeWidgetItem* header = w.TaskLst()->headerItem();
    EXPECT_EQ((QStringList{w.windowTitle(), w.XPForm()->Caption(), w.XPFrame()->title(), w.BackCmd()->text(),
                           w.NextCmd()->text(), w.CloseCmd()->text(), header->text(1), header->text(2),
                           header->text(3)}),
              (QStringList{"Pelora 1D Firmware Update", "Pelora 1D  " + text(820), text(352).toUpper(), text(799),
                           text(800), text(141), text(664), text(801), text(683)}));
    EXPECT_TRUE(w.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_EQ(Controls(), "page1 next");
    ASSERT_GT(w.TaskLst()->topLevelItemCount(), 0);
    const QString logged = w.TaskLst()->topLevelItem(0)->text(1);
    EXPECT_TRUE(before <= logged && logged <= after) << logged.toStdString();
    EXPECT_EQ(harness_->BaudRate(), 38400);
    EXPECT_TRUE(harness_->Writes().empty());
}

// Start-up goes on after a box it can live with; otherwise it ends before the
// window shows, never through the closing sequence, with 1 only when the
// texts are unusable.
TEST_F(WizardTest, StartUpGoesOnOrEndsBeforeTheWindowShows)
{
    const std::string lng = (folder_ / "FirmwareUpdate.lng").string();
    const auto dropLanguageList = [&] {
        sqlite3* db = nullptr;
        const std::string password = pelora::LoadString(pelora::LanguageDbPassword);
        ASSERT_EQ(sqlite3_open(lng.c_str(), &db), SQLITE_OK);
        sqlite3_key(db, password.data(), static_cast<int>(password.size()));
        ASSERT_EQ(sqlite3_exec(db, "DROP TABLE LANGUAGES", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    };
    const auto english = [](Buttons buttons, Answer answer) {
        return Box{Icon::Stop, buttons, "Pelora 1D Firmware Update", "", answer};
    };
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::vector<Box> boxes;
        std::string outcome, says = "";  // says: how the last box begins
    };
    const Case cases[] = {
        {"another build's configuration", [&] {
             configuration_ = "PELORA.1D.FWR|someone-elses-check||5000";
             MakeWindow();
         }, {}, "ended 0, 0 searches"},
        {"language file damaged", [&] { std::ofstream(lng) << "damaged"; }, {english(Buttons::Ok, Answer::Ok)},
         "ended 1, 0 searches", "The language file " + lng + " cannot be used: the file is damaged"},
        {"language list missing", dropLanguageList,
         {{Icon::Stop, Buttons::Ok, Text(280), Text(280) + " 0001", Answer::Ok}}, "shown on /dev/ttyUSB0, 1 searches"},
        {"no cable twice, then found", [&] { portFinder_.missing = 2; }, {NoCable(Answer::Ok), NoCable(Answer::Ok)},
         "shown on /dev/ttyUSB0, 3 searches"},
        {"no cable, Cancel", [&] { portFinder_.missing = 1; }, {NoCable(Answer::Cancel)}, "ended 0, 1 searches"},
        {"port refused, retried", [&] { harness_->SetPortOpenFailure("Permission denied"); },
         {english(Buttons::OkCancel, Answer::Ok)}, "shown on /dev/ttyUSB0, 2 searches",
         "The interface cable was found on /dev/ttyUSB0, but the port could not be opened: Permission denied."},
        {"port refused, Cancel", [&] { harness_->SetPortOpenFailure("busy"); },
         {english(Buttons::OkCancel, Answer::Cancel)}, "ended 0, 1 searches"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FreshFolder();
        portFinder_ = {};
        dialogs_.shownTexts.clear();
        MakeWindow();
        c.arrange();
        for (const Box& box : c.boxes) dialogs_.Expect(box);
        const bool shown = Load();
        EXPECT_EQ((shown ? "shown on " + (harness_->PortIsOpen() ? harness_->PortName() : "nothing")
                         : "ended " + std::to_string(window_->ExitCode())) +
                      ", " + std::to_string(portFinder_.calls) + " searches",
                  c.outcome);
        EXPECT_TRUE(dialogs_.Finished());
        EXPECT_TRUE(endings_.empty());
        EXPECT_TRUE(LastBox().starts_with(c.says)) << LastBox();
    }
}
