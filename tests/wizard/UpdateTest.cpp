// The whole update through the window, on the emulated device and the
// virtual clock: what the diver sees and hears, by mouse and by keyboard.
// How each fault and Close in each phase ends is the fault matrix's.
#include "WizardFixture.h"

#include <QAccessible>
#include <QApplication>
#include <QTest>

#include <set>

using namespace wizardtest;
using Rows = std::vector<std::string>;  // a row as a screen reader reads it: "icon's meaning|event|status"

namespace {

class UpdateTest : public WizardTest {
protected:
    // The rows from this one on, read through the log's table interface.
    Rows UpdateRows(int first) const
    {
        QAccessibleTableInterface* log = QAccessible::queryAccessibleInterface(window_->TaskLst())->tableInterface();
        Rows rows;
        for (int row = first; row < log->rowCount(); ++row) {
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
};

}  // namespace

// A whole update by keyboard alone. Enter presses the focused button; Tab
// visits the page shown and the buttons that work, never a hidden or disabled
// part. While device transactions run the page keeps the focus, so Enter
// pressed again starts nothing and Esc stops nothing; afterwards Esc closes.
// Next counts only once its page has been read. The update: its rows, the new code in place, the profile back, the priority
// restored, Next and Back off meanwhile, the bar moving only forward to full,
// and the record of it all.
TEST_F(UpdateTest, TheKeyboardAloneWalksAWholeUpdate)
{
    WriteImage(Layout::BothCodes);
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
    auto* progress = QAccessible::queryAccessibleInterface(w.UpdateBar())->valueInterface();
    std::vector<int> bar;
    std::set<std::string> seen;
    std::map<int, std::string> busy;  // stage: the focus while it waited, after Esc and Enter
    harness_->SetIdleHook([&] {
        if (w.NextCmd()->isEnabled()) return;  // not while the diver reads
        if (w.WizardStage() == 3) {
            // From its start the update owes the profile a restore and wants no Deep Sleep.
            EXPECT_TRUE(!bar.empty() || (w.Saved().ProfileRestorePending && !w.Link().DeepSleepRequest));
            bar.push_back(progress->currentValue().toInt());
            seen.insert(Controls());
        }
        if (busy.contains(w.WizardStage())) return;
        for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) QTest::keyClick(w.focusWidget(), key);
        busy[w.WizardStage()] = w.focusWidget()->objectName().toStdString();
    });
    // Next counts once its page has been on screen for a second: a press too
    // soon after start-up, a held Enter's repeats and the second press of a
    // double click never start the update on the device asleep.
    Wait(0.9);
    QTest::mouseClick(w.NextCmd(), Qt::LeftButton);
    EXPECT_TRUE(harness_->Writes().empty());
    Wait(0.1);
    for (double t = 0.5; t < 3.0; t += 0.033)
        harness_->At(harness_->Now() + t, [&w] {
            QKeyEvent held(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r", true);
            QApplication::sendEvent(w.focusWidget(), &held);
        });
    harness_->At(harness_->Now() + 0.15, [&w] { QTest::mouseClick(w.NextCmd(), Qt::LeftButton); });
    keys({Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Return});
    keys({Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Tab});
    Wait(3.0);
    EXPECT_EQ(FramesWithCommand(0x84), 1) << "the update began";
    harness_->WakeDevice();
    const int first = w.TaskLst()->topLevelItemCount();
    keys({Qt::Key_Return, Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Tab});
    EXPECT_EQ(UpdateRows(first),
              (Rows{Row(0, 782, 777), Kind(1) + "|Pelora 1D, " + Text(781) + ": 1B|",
                    Kind(0) + "|Backup dive computer profile|" + Text(777), Row(0, 788, 777), Row(0, 803, 777),
                    Row(0, 789, 777), Row(0, 803, 777), Row(0, 792, 777), Row(1, 794), Row(0, 796, 777), Row(1, 786),
                    Row(1, 1051)}));
    // The new code and the profile in place are the fault matrix's to check, after every fault.
    EXPECT_TRUE(w.ProfileSafe() && !fs::exists(folder_ / "513.004711.bin"));
    EXPECT_EQ((std::pair{priority_.classes.front(), priority_.classes.back()}),
              (std::pair{pelora::HighPriorityClass, pelora::NormalPriorityClass}));
    EXPECT_EQ(seen, std::set<std::string>{"log bar"});
    EXPECT_TRUE(std::is_sorted(bar.begin(), bar.end()) && bar.front() < 50) << bar.front();
    EXPECT_EQ((std::pair{progress->currentValue().toInt(), progress->maximumValue().toInt()}), (std::pair{1000, 1000}));
    // The record holds every row with its date, percentages by tens.
    std::ifstream in(folder_ / "FirmwareUpdate.log");
    const std::string record((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(record.find("2026-03-05 14:07:09  result " + Text(786) + "\n"), std::string::npos) << record;
    EXPECT_TRUE(record.find("-> 50%\n") != std::string::npos && record.find("-> 8%\n") == std::string::npos);
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
