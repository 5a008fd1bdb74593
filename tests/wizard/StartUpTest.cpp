#include "WizardFixture.h"

#include "platform/StringTable.h"

#include "wizard/TaskList.h"
#include "wizard/TitleBar.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSvgWidget>

#include <fstream>

#define SQLITE_HAS_CODEC 1
#include <sqlcipher/sqlite3.h>

using namespace wizardtest;
using Box = ScriptedDialogs::Box;
using Icon = pelora::Dialogs::Icon;
using Buttons = pelora::Dialogs::Buttons;
using Answer = pelora::Dialogs::Answer;

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

// The language code selects the column every caption comes from.
TEST_F(WizardTest, StartUpDressesTheWindowFromTheLanguageDatabase)
{
    for (const auto& [code, column] : {std::pair{"5000", 1}, std::pair{"7000", 3}}) {
        SCOPED_TRACE(code);
        configuration_ = "PELORA.1D.FWR|" + pelora::ConfigurationCheckValue() + "||" + code;
        MakeWindow();
        ASSERT_TRUE(Load());
        auto& w = *window_;
        auto text = [&](int id) { return Q(Text(id, column)); };
        EXPECT_EQ(w.windowTitle(), "Pelora 1D Firmware Update");
        EXPECT_EQ(w.XPForm()->Caption(), "Pelora 1D  " + text(820));
        EXPECT_EQ(w.XPFrame()->title(), text(352).toUpper());
        EXPECT_EQ(w.BackCmd()->text(), text(799));
        EXPECT_EQ(w.NextCmd()->text(), text(800));
        EXPECT_EQ(w.CloseCmd()->text(), text(141));
        QTreeWidgetItem* header = w.TaskLst()->headerItem();
        EXPECT_EQ(header->text(0), "");
        EXPECT_EQ(header->text(1), text(664));
        EXPECT_EQ(header->text(2), text(801));
        EXPECT_EQ(header->text(3), text(683));
        EXPECT_TRUE(w.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    }
    EXPECT_NE(Text(800, 1), Text(800, 3));
}

// A database without its language list still serves the texts: the diver
// is told, and the wizard goes on.
TEST_F(WizardTest, LanguageListMissingIsReportedAndTheTextsStillServe)
{
    sqlite3* db = nullptr;
    const std::string password = pelora::LoadString(pelora::LanguageDbPassword);
    ASSERT_EQ(sqlite3_open((folder_ / "FirmwareUpdate.lng").string().c_str(), &db), SQLITE_OK);
    sqlite3_key(db, password.data(), static_cast<int>(password.size()));
    ASSERT_EQ(sqlite3_exec(db, "DROP TABLE LANGUAGES", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    dialogs_.Expect({Icon::Stop, Buttons::Ok, Text(280), Text(280) + " 0001", Answer::Ok});
    ASSERT_TRUE(Load());
    EXPECT_EQ(window_->NextCmd()->text(), Q(Text(800)));
}

TEST_F(WizardTest, StartUpShowsStageOneAndKeepsTheImageRowsInTheHiddenLog)
{
    ASSERT_TRUE(Load());
    auto& w = *window_;
    EXPECT_EQ(w.WizardStage(), 1);
    EXPECT_FALSE(w.BackCmd()->isEnabled());
    EXPECT_TRUE(w.NextCmd()->isEnabled());
    EXPECT_TRUE(w.CloseCmd()->isEnabled());
    EXPECT_TRUE(w.PrintCmd()->isHidden());
    EXPECT_FALSE(w.XPFrame()->isHidden());
    EXPECT_TRUE(w.TaskLst()->isHidden());
    EXPECT_TRUE(w.Image2()->isHidden());
    EXPECT_TRUE(w.ProfileSafe());
    EXPECT_TRUE(w.Lbl1()->text().startsWith("1. Plug the USB interface cable"));

    // The image rows wait in the log until the update shows it.
    ASSERT_EQ(w.TaskLst()->topLevelItemCount(), 3);
    EXPECT_EQ(w.TaskLst()->topLevelItem(0)->text(2), Q(Text(776)));
    EXPECT_EQ(w.TaskLst()->topLevelItem(0)->text(3), Q(Text(777)));
    EXPECT_EQ(w.TaskLst()->topLevelItem(1)->text(2), Q(Text(778)));
    EXPECT_EQ(w.TaskLst()->topLevelItem(2)->text(2), Q("Pelora 1D, " + Text(781) + ": 1C.01"));

    // The port is the one found, at 38400 baud, and nothing went to the device.
    EXPECT_EQ(harness_->PortName(), "/dev/emulated");
    EXPECT_EQ(harness_->BaudRate(), 38400);
    EXPECT_TRUE(harness_->PortIsOpen());
    EXPECT_TRUE(harness_->Writes().empty());
    EXPECT_EQ(w.Link().State().RxBuf.size(), 512u * 136 + 2);
    EXPECT_TRUE(endings_.empty());
}

TEST_F(WizardTest, ConfigurationOfAnotherBuildEndsWithoutAWord)
{
    configuration_ = "PELORA.1D.FWR|someone-elses-check||5000";
    EXPECT_FALSE(Load());
    EXPECT_EQ(window_->ExitCode(), 0);
    configuration_ = "PELORA.1D.FWR";
    MakeWindow();
    EXPECT_FALSE(Load());
    EXPECT_TRUE(dialogs_.shownTexts.empty());
    EXPECT_EQ(portFinder_.calls, 0);
}

TEST_F(WizardTest, LanguageDatabaseThatCannotBeOpenedIsExplainedInEnglish)
{
    std::ofstream(folder_ / "FirmwareUpdate.lng", std::ios::trunc) << "damaged";
    const std::string path = (folder_ / "FirmwareUpdate.lng").string();
    dialogs_.Expect({Icon::Stop, Buttons::Ok, "Pelora 1D Firmware Update",
                     "The language file " + path +
                         " cannot be used: the file is damaged or protected with another password.\r\n\r\n"
                         "Please install the program again.",
                     Answer::Ok});
    EXPECT_FALSE(Load());
    EXPECT_EQ(window_->ExitCode(), 1);
    EXPECT_EQ(portFinder_.calls, 0);
}

TEST_F(WizardTest, MissingImageEndsThroughTheClosingSequenceWithoutAMessage)
{
    std::filesystem::remove(folder_ / "PELORA.1D.FWR");
    MakeWindow();
    EXPECT_THROW(Load(), ProgramEnded);
    EXPECT_EQ(endings_, std::vector<int>{0});
    EXPECT_EQ(portFinder_.calls, 0);
    EXPECT_TRUE(window_->Link().State().CommFailed);
    EXPECT_FALSE(window_->Texts().IsOpen());
}

TEST_F(WizardTest, NoCableAskedTwiceThenFoundOnTheThirdSearch)
{
    portFinder_.answers = {std::nullopt, std::nullopt, std::string("/dev/ttyUSB0")};
    MakeWindow();
    const Box noCable{Icon::Stop, Buttons::OkCancel, Text(605), Text(593) + ".\r\n" + Text(802), Answer::Ok};
    dialogs_.Expect(noCable);
    dialogs_.Expect(noCable);
    ASSERT_TRUE(Load());
    EXPECT_EQ(portFinder_.calls, 3);
    EXPECT_EQ(harness_->PortName(), "/dev/ttyUSB0");
    EXPECT_EQ(window_->WizardStage(), 1);
}

TEST_F(WizardTest, CancelInTheNoCableBoxEndsAtOnceWithoutTheClosingSequence)
{
    portFinder_.answers = {std::nullopt};
    MakeWindow();
    dialogs_.Expect({Icon::Stop, Buttons::OkCancel, Text(605), Text(593) + ".\r\n" + Text(802), Answer::Cancel});
    EXPECT_FALSE(Load());
    EXPECT_EQ(window_->ExitCode(), 0);
    EXPECT_TRUE(endings_.empty());
    EXPECT_FALSE(harness_->PortIsOpen());
}

TEST_F(WizardTest, PortThatCannotBeOpenedSaysWhichAndWhyAndMayBeRetried)
{
    MakeWindow();
    harness_->SetPortOpenFailure("Permission denied");
    ScriptedDialogs::Box busy{Icon::Stop, Buttons::OkCancel, "Pelora 1D Firmware Update", "", Answer::Ok};
    busy.text = "The interface cable was found on /dev/emulated, but the port could not be opened: Permission "
                "denied.\r\n\r\nCheck that your user account may use serial ports (on most Linux systems: a member "
                "of the group \"dialout\"; log in again after joining it), and that no other program, such as a "
                "modem manager, holds the port. Then click OK to try again.";
    dialogs_.Expect(busy);
    ASSERT_TRUE(Load());
    EXPECT_TRUE(harness_->PortIsOpen());
    EXPECT_EQ(portFinder_.calls, 2);

    MakeWindow();
    harness_->SetPortOpenFailure("Device or resource busy");
    busy.answer = Answer::Cancel;
    busy.text.replace(busy.text.find("Permission denied"), 17, "Device or resource busy");
    dialogs_.Expect(busy);
    EXPECT_FALSE(Load());
    EXPECT_TRUE(endings_.empty());
}
