// The whole update through the window, on the emulated device and the
// virtual clock: what the diver sees, what the device received, and where
// the profile ended.
#include "WizardFixture.h"

#include "ImageWriter.h"
#include "profile/BackupFile.h"
#include "profile/ProfileTexts.h"

#include <QAccessible>
#include <QFile>
#include <QTest>

#include <algorithm>
#include <fstream>
#include <set>

using namespace wizardtest;
namespace fs = std::filesystem;
using Layout = pelora::ImageLayout;
using Rows = std::vector<std::string>;  // a row as a screen reader reads it: "icon's meaning|event|status"

namespace {

class UpdateTest : public WizardTest {
protected:
    // A window on this device with this image, past the checks of page 1, the device awake.
    void Prepare(Layout layout, const std::function<void(sim::DeviceConfig&)>& configure = {},
                 const std::function<void()>& beforeLoad = {})
    {
        sim::DeviceConfig device;
        if (configure) configure(device);
        const auto bytes = fwrtool::WriteImage({.Layout = layout, .Code1BlockCount = 10, .Code2BlockCount = 10});
        std::ofstream(folder_ / "PELORA.1D.FWR", std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        MakeWindow(device);
        original_ = harness_->Dev().Memory();
        if (beforeLoad) beforeLoad();
        ASSERT_TRUE(Load());
        window_->NextCmd_Click();
        ASSERT_EQ(window_->WizardStage(), 2);
        harness_->WakeDevice();
        firstRow_ = window_->TaskLst()->topLevelItemCount();
    }
    // The rows the update added, read through the log's table interface.
    Rows UpdateRows() const
    {
        QAccessibleTableInterface* log = QAccessible::queryAccessibleInterface(window_->TaskLst())->tableInterface();
        Rows rows;
        for (int row = firstRow_; row < log->rowCount(); ++row) {
            const auto cell = [&](int c) { return log->cellAt(row, c)->text(QAccessible::Name).toStdString(); };
            rows.push_back(cell(0) + "|" + cell(2) + "|" + cell(3));
        }
        return rows;
    }
    std::string Kind(int icon) const { return Text(1022 + icon); }  // step, information, failure
    std::string Row(int icon, int text, int status = 0) const
    {
        return Kind(icon) + "|" + Text(text) + "|" + (status ? Text(status) : "");
    }
    // The command frames the program wrote (data frames left out), repeats counted.
    std::string FrameSummary() const
    {
        std::vector<std::pair<int, int>> runs;  // command, count
        for (const auto& write : harness_->Writes())
            if (write.bytes.size() > 4) continue;
            else if (!runs.empty() && runs.back().first == write.bytes[0]) ++runs.back().second;
            else runs.push_back({write.bytes[0], 1});
        std::string summary;
        for (const auto& [command, count] : runs) {
            char token[16];
            std::snprintf(token, sizeof token, count > 1 ? " %02X*%d" : " %02X", command, count);
            summary += token;
        }
        return summary.substr(1);
    }
    bool ProfileOnDevice() const { return harness_->Dev().Memory() == original_; }
    fs::path Backup() const { return folder_ / "513.004711.bin"; }
    // The backup file is whole and holds the device's original profile.
    bool ProfileInFile() const
    {
        const auto file = pelora::ReadBackupFile(Backup(), 512);
        bool same = file.Valid() && std::equal(original_.begin() + 64, original_.begin() + 80,
                                               file.Content->ProfileHeader.begin());
        for (int i = 1, at = 16 * 16; same && i <= file.Area.BlockCount; ++i, at += 128)
            same = std::equal(original_.begin() + at, original_.begin() + at + 128,
                              file.Content->ProfileBlocks.Block(i).begin() + 1);
        return same;
    }

    std::vector<std::uint8_t> original_;
    int firstRow_ = 0;
};

}  // namespace

// Each layout end to end: the rows, the frames in their order, the new code in
// place, the profile back, the priority restored, Next and Back off meanwhile.
TEST_F(UpdateTest, EachLayoutUpdatesTheDeviceAndWritesTheProfileBack)
{
    const Rows one{Row(0, 787, 777), Row(0, 803, 777)};
    const std::tuple<Layout, Rows, std::string> cases[] = {
        {Layout::Code1Only, one, "B5*10 B6 84"},
        {Layout::Code2Only, one, "B7*10 B8 B9 84 BA"},
        {Layout::BothCodes, {Row(0, 788, 777), Row(0, 803, 777), Row(0, 789, 777), Row(0, 803, 777)},
         "B5*10 B6 84 B7*10 B8 B9 84 BA"},
    };
    for (const auto& [layout, upload, frames] : cases) {
        SCOPED_TRACE(static_cast<int>(layout));
        // A record that cannot be written (here a folder in its place) stops nothing.
        const bool recordBlocked = layout == Layout::BothCodes;
        fs::remove_all(folder_ / "FirmwareUpdate.log");
        if (recordBlocked) fs::create_directory(folder_ / "FirmwareUpdate.log");
        Prepare(layout);
        // The bar as a screen reader reads it.
        auto* progress = QAccessible::queryAccessibleInterface(window_->UpdateBar())->valueInterface();
        std::vector<int> bar;
        std::set<std::string> seen;
        harness_->SetIdleHook([&] {
            // From its start the update owes the profile a restore and wants no Deep Sleep.
            EXPECT_TRUE(!bar.empty() || (window_->Saved().ProfileRestorePending && !window_->Link().DeepSleepRequest));
            bar.push_back(progress->currentValue().toInt());
            seen.insert(Controls());
        });
        window_->NextCmd_Click();
        Rows expected{Row(0, 782, 777), Kind(1) + "|Pelora 1D, " + Text(781) + ": 1B|",
                      Kind(0) + "|Backup dive computer profile|" + Text(777)};
        expected.insert(expected.end(), upload.begin(), upload.end());
        expected.insert(expected.end(), {Row(0, 792, 777), Row(1, 794), Row(0, 796, 777), Row(1, 786), Row(1, 1051)});
        EXPECT_EQ(UpdateRows(), expected);
        EXPECT_EQ(FrameSummary(), "84 A8 84 B4*82 " + frames + " B5*40 B2 B4 97*2 A8");
        EXPECT_TRUE(ProfileOnDevice() && window_->ProfileSafe() && !fs::exists(Backup()));
        EXPECT_EQ(harness_->Dev().CodeVersion(), "1C");
        EXPECT_EQ((std::pair{priority_.classes.front(), priority_.classes.back()}),
                  (std::pair{pelora::HighPriorityClass, pelora::NormalPriorityClass}));
        EXPECT_EQ(seen, std::set<std::string>{"log bar"});
        // The bar only moves forward, and ends full.
        EXPECT_TRUE(std::is_sorted(bar.begin(), bar.end()) && bar.front() < 50) << bar.front();
        EXPECT_EQ((std::pair{progress->currentValue().toInt(), progress->maximumValue().toInt()}), (std::pair{1000, 1000}));
        // The record holds every row with its date, percentages by tens.
        EXPECT_EQ(window_->Record().Path().empty(), recordBlocked);
        if (recordBlocked) continue;
        std::ifstream in(folder_ / "FirmwareUpdate.log");
        const std::string record((std::istreambuf_iterator<char>(in)), {});
        EXPECT_NE(record.find("2026-03-05 14:07:09  result " + Text(786) + "\n"), std::string::npos) << record;
        EXPECT_NE(record.find("-> 50%\n"), std::string::npos);
        EXPECT_EQ(record.find("-> 8%\n"), std::string::npos);  // 3 of 40 blocks
    }
}

// Every way an update can stop short: the rows it ends with, whether code went
// in, the profile on the device or safe in its file, the priority back to
// normal, and Close offering the recovery exactly when the rows say the
// profile waits in its file and the last one says Close brings it back.
TEST_F(UpdateTest, AnUpdateThatStopsShortSaysSoAndKeepsTheProfile)
{
    struct Case {
        const char* name;
        std::function<void(sim::DeviceConfig&)> device;
        std::function<void()> arrange;
        Rows tail;
        bool committed = false, profileOnDevice = true;
    };
    const auto failed = [this](Rows rows, int last = 815) {
        rows.push_back(Row(2, 814));
        if (last) rows.push_back(Row(1, last));
        rows.push_back(Row(1, last == 815 ? 1052 : 1053));  // what to do next
        return rows;
    };
    const auto savedEarlier = [this] {
        testsupport::RecordingTaskLog log;
        window_->Profile(log).BackupProfile();
    };
    const Case cases[] = {
        {"cable pulled at the identification", {}, [&] { harness_->RefuseWritesFrom(harness_->Now()); },
         {Row(0, 782, 280), Row(2, 150)}},
        {"up to date, a saved profile waits", [](auto& d) { d.codeVersion = "1C"; }, savedEarlier,
         {Row(1, 785), Row(0, 796, 777), Row(1, 786), Row(1, 1051)}},
        {"up to date, a saved profile waits, block 0 unreadable", [](auto& d) { d.codeVersion = "1C"; },
         [&] { savedEarlier(), harness_->Faults().Reject(0xB4, 1000); }, failed({Row(1, 785), Row(2, 797)})},
        {"block 5 of 10 refused", {}, [&] { harness_->Faults().Reject(sim::DataFrame(0xB5), 1000, 4); },
         failed({Row(0, 787, 280), Row(2, 790)})},
        {"no return after the restart", {}, [&] { harness_->Faults().NoReturnFromRestart(); },
         failed({Row(0, 792, 280), Row(2, 150)}), true, false},
        {"another model after the restart", {},
         [&] { harness_->At(harness_->Now() + 10, [&] { harness_->Dev().SetModelKey("NAVIX"); }); },
         failed({Row(0, 792, 777), Row(2, 793)}), true, false},
        {"new code not confirmed", [](auto& d) { d.idText = "PELORA 1D-V1B H2"; }, {},
         failed({Row(0, 792, 777), Row(0, 796, 777)}, 1013), true},
        {"clock refused after the restore", {}, [&] { harness_->Faults().Reject(0x97, 1000); },
         failed({Row(0, 796, 777)}, 1013), true},
        {"backup failed: no code", {}, [&] { harness_->Faults().Reject(0xB4, 1000, 10); },
         failed({Kind(0) + "|Backup dive computer profile|" + Text(280), Row(2, 797)}, 1012)},
        {"empty profile, upload refused", [](auto& d) { d.profileBlocks = 0; },
         [&] { harness_->Faults().Reject(sim::DataFrame(0xB5), 1000); }, failed({Row(0, 787, 280), Row(2, 790)}, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Prepare(Layout::Code1Only, c.device);
        if (c.arrange) c.arrange();
        window_->NextCmd_Click();
        const Rows rows = UpdateRows();
        ASSERT_GE(rows.size(), c.tail.size());
        EXPECT_EQ(Rows(rows.end() - static_cast<std::ptrdiff_t>(c.tail.size()), rows.end()), c.tail);
        EXPECT_EQ(!harness_->Dev().CommittedCode(1).empty() || !harness_->Dev().CommittedCode(2).empty(), c.committed);
        EXPECT_EQ(ProfileOnDevice(), c.profileOnDevice);
        // Wherever it is not, it is safe in its file, and Close will offer it.
        EXPECT_TRUE(c.profileOnDevice || ProfileInFile());
        EXPECT_EQ(!window_->ProfileSafe(), c.tail.back() == Row(1, 1052));
        EXPECT_EQ(priority_.classes.back(), pelora::NormalPriorityClass);
    }
}

// Close in any phase of an update: before the profile is in its file the
// device still holds it and the program just ends; from then until the
// restore is verified Close offers the recovery, and while code goes in, the
// device restarts or the profile goes back it first asks whether to stop.
// Declined, the file stays where the next run finds it, the last box names
// it, and that run's update writes it back.
TEST_F(UpdateTest, CloseInAnyPhaseEndsAndTheNextRunFinishesTheJob)
{
    const auto lastRowIs = [this](int text) {
        const Rows rows = UpdateRows();
        return !rows.empty() && rows.back().find("|" + Text(text) + "|") != std::string::npos;
    };
    // Ten code blocks go before the profile's.
    struct Phase {
        const char* name;
        std::function<bool()> when;
        bool offered, asked;
        int nextRunEnds = 1051;
        std::function<void()> earlier = {};  // what happened in this run before the update that Close ends
    };
    // An attempt that left the profile in its file (new code, then another
    // model), Back, and the checks of page 1 passed again: still owed.
    const auto owedFromBefore = [this] {
        harness_->At(harness_->Now() + 10, [&] { harness_->Dev().SetModelKey("NAVIX"); });
        window_->NextCmd_Click();
        ASSERT_EQ(UpdateRows().back(), Row(1, 1052));
        window_->BackCmd_Click();
        harness_->Dev().SetModelKey("PELORA");
        harness_->WakeDevice();
        window_->NextCmd_Click();
        ASSERT_EQ(window_->WizardStage(), 2);
        harness_->WakeDevice();
        harness_->Faults().UnplugAt(harness_->Now());
    };
    const Phase phases[] = {
        {"identification", [&] { return FramesWithCommand(0x84) > 1; }, false, false},
        {"backup", [&] { return FramesWithCommand(0xB4) > 10; }, false, false},
        {"upload", [&] { return FramesWithCommand(0xB5) > 3; }, true, true},
        {"restart wait", [&] { return lastRowIs(803); }, true, true},
        {"verification", [&] { return lastRowIs(792); }, true, true},
        {"restore", [&] { return lastRowIs(796) && FramesWithCommand(0xB5) > 15; }, true, true},
        {"clock", [&] { return FramesWithCommand(0x97) > 0; }, false, false, 785},
        {"identification, silent, after Back", [] { return true; }, true, false, 1051, owedFromBefore},
    };
    for (const Phase& phase : phases) {
        SCOPED_TRACE(phase.name);
        Prepare(Layout::Code1Only);
        if (phase.earlier) phase.earlier();
        bool closed = false;
        harness_->SetIdleHook([&] {
            if (!closed && (closed = phase.when())) window_->CloseCmd_Click();
        });
        if (phase.asked)
            dialogs_.Expect({Icon::Exclamation, Buttons::YesNoDefaultNo, "Firmware Update",
                             Text(772) + "\r\n\r\n" + Text(1032), Answer::Yes});
        if (phase.offered) {
            dialogs_.Expect({Icon::Exclamation, Buttons::YesNo, Text(817), Text(818), Answer::No});
            dialogs_.Expect({Icon::Information, Buttons::Ok, Text(817),
                             pelora::profiletext::WithArgument(Text(1014), Backup().string()), Answer::Ok});
        }
        EXPECT_THROW(window_->NextCmd_Click(), ProgramEnded);
        EXPECT_TRUE(dialogs_.Finished());
        EXPECT_TRUE(ProfileOnDevice() || ProfileInFile());
        EXPECT_EQ(fs::exists(Backup()), phase.offered) << "the file stays exactly while the profile is owed";

        // The next run meets the device as Close left it.
        const auto memory = harness_->Dev().Memory();
        const std::string version = harness_->Dev().CodeVersion();
        Prepare(Layout::Code1Only, {}, [&] {
            harness_->Dev().Memory() = memory;
            harness_->Dev().SetCodeVersion(version, 1);
        });
        window_->NextCmd_Click();
        EXPECT_EQ(UpdateRows().back(), Row(1, phase.nextRunEnds));
        EXPECT_TRUE(ProfileOnDevice());
        EXPECT_EQ(harness_->Dev().CodeVersion(), "1C");
        EXPECT_FALSE(fs::exists(Backup()));
    }
}

// A whole update by keyboard alone. Enter presses the focused button; Tab
// visits the page shown and the buttons that work, never a hidden or disabled
// part. While device transactions run the page keeps the focus, so Enter
// pressed again starts nothing and Esc stops nothing; afterwards Esc closes.
TEST_F(UpdateTest, TheKeyboardAloneWalksAWholeUpdate)
{
    MakeWindow();
    ASSERT_TRUE(Load());
    auto& w = *window_;
    w.show();
    w.activateWindow();
    std::string walk;  // the focus after each key, what shows after each group
    const auto keys = [&](std::initializer_list<Qt::Key> pressed) {
        for (Qt::Key key : pressed) {
            QTest::keyClick(w.focusWidget(), key);
            const QWidget* focus = w.focusWidget();
            walk += (focus->isVisibleTo(&w) && focus->isEnabled() ? " " : " !") + focus->objectName().toStdString();
        }
        walk += " [" + Controls() + "]";
    };
    std::map<int, std::string> busy;  // stage: the focus while it waited, after Esc and Enter
    harness_->SetIdleHook([&] {
        if (busy.contains(w.WizardStage()) || w.NextCmd()->isEnabled()) return;  // not while the diver reads
        for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) QTest::keyClick(w.focusWidget(), key);
        busy[w.WizardStage()] = w.focusWidget()->objectName().toStdString();
    });
    Wait(1.0);  // Next counts once its page has been read
    keys({Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Return});
    keys({Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Tab});
    harness_->WakeDevice();
    firstRow_ = w.TaskLst()->topLevelItemCount();
    Wait(1.0);
    keys({Qt::Key_Return, Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Tab});
    EXPECT_EQ(UpdateRows().back(), Row(1, 1051));
    // The newest row is the log's current one, which a screen reader reads.
    QAccessibleInterface* current = QAccessible::queryAccessibleInterface(w.TaskLst())->focusChild();
    EXPECT_EQ(current ? current->tableCellInterface()->rowIndex() : -1, w.TaskLst()->NewestRow());
    keys({Qt::Key_Tab, Qt::Key_Return});  // Back
    EXPECT_EQ(walk, " CloseCmd Lbl1 NextCmd NextCmd [page2 picture back next]"
                    " CloseCmd Lbl1 BackCmd NextCmd [page2 picture back next]"
                    " TaskLst BackCmd CloseCmd TaskLst [log back] BackCmd NextCmd [page1 next]");
    EXPECT_EQ(busy, (std::map<int, std::string>{{2, "Lbl1"}, {3, "TaskLst"}}));
    EXPECT_THROW(QTest::keyClick(w.focusWidget(), Qt::Key_Escape), ProgramEnded);
}

// English keeps the program's own pages. Another language's pages hold its own
// step texts and no English, and so do the update's rows of its own. Its
// pages fit their frame in the program's skin.
TEST_F(WizardTest, ThePagesAndTheProgramsOwnRowsSpeakTheTextsLanguage)
{
    QFile skin(":/wizard/skin.qss");
    ASSERT_TRUE(skin.open(QIODevice::ReadOnly));
    const QString sheet = QString::fromUtf8(skin.readAll());
    for (int column = 1; column <= 5; ++column) {
        SCOPED_TRACE(column);
        languageColumn_ = column;
        MakeWindow();
        window_->setStyleSheet(sheet);
        ASSERT_TRUE(Load());
        window_->show();
        const auto page = [this, column] {
            const QLabel* label = window_->Lbl1();
            EXPECT_LE(label->heightForWidth(label->width()), label->height());
            return label->text().toStdString();
        };
        std::string pages = page();
        window_->NextCmd_Click();
        ASSERT_EQ(window_->WizardStage(), 2);
        pages += page();
        if (column == 1) {
            EXPECT_EQ(pages, pelora::StepInstructionsText(1) + pelora::StepInstructionsText(2));
        }
        if (column != 2) continue;
        const auto has = [&](int id, int inColumn) { return pages.find(Text(id, inColumn)) != std::string::npos; };
        for (int id : {640, 654, 804, 805, 806, 807, 808, 809, 1054, 813}) EXPECT_TRUE(has(id, 2) && !has(id, 1)) << id;
        for (const char* english : {"Click", "Next", "cable", "DC"}) EXPECT_EQ(pages.find(english), std::string::npos);
        harness_->WakeDevice();
        window_->NextCmd_Click();
        const auto* log = window_->TaskLst();
        EXPECT_EQ(log->findItems(QString::fromStdString(Text(1055, 2)), Qt::MatchExactly, 2).size(), 1);
        EXPECT_EQ(log->topLevelItem(log->NewestRow())->text(2).toStdString(), Text(1051, 2));
    }
}
