// The fault matrix's runner and its checks; the scenarios are in
// Scenarios.cpp. Writes build/fault-matrix.md.
#include "FaultMatrix.h"

#include "profile/BackupFile.h"
#include "profile/ProfileTexts.h"

#include <algorithm>

namespace matrix {

using wizardtest::ProgramEnded;
using Answer = pelora::Dialogs::Answer;
namespace fs = std::filesystem;
constexpr const char* kFile = "513.004711.bin";  // the backup file of the emulated device

namespace {

// Answers every box as the scenario's diver would, and notes what was asked.
struct DiverDialogs : pelora::Dialogs {
    Diver diver;
    std::function<bool()> bringDeviceBack;  // true when it answers again
    std::string stopQuestion, lastBox;
    int instructions = 0;
    bool restoreAsked = false;  // OK to the recovery with the device answering again
    bool recoveryOffered = false, stopAsked = false;

    Answer Show(Icon icon, Buttons buttons, const std::string& title, const std::string& text) override
    {
        return Ask(icon, buttons, title, text, buttons == Buttons::OkCancel ? Answer::Cancel : Answer::No);
    }
    Answer Ask(Icon icon, Buttons buttons, const std::string&, const std::string& text, Answer keeps) override
    {
        lastBox = text;
        const auto as = [keeps](char c, Answer yes) {
            return c == 'E' ? keeps : c == 'Y' || c == 'O' ? yes : c == 'N' ? Answer::No : Answer::Cancel;
        };
        if (buttons == Buttons::Ok) return Answer::Ok;
        if (buttons == Buttons::YesNoDefaultNo) {
            EXPECT_EQ(text, stopQuestion);
            return stopAsked = true, as(diver.stop, Answer::Yes);
        }
        if (buttons == Buttons::YesNo && icon == Icon::Question) return as(diver.stale, Answer::Yes);
        if (buttons == Buttons::YesNo) return recoveryOffered = true, as(diver.recovery, Answer::Yes);
        if (icon != Icon::Information) return Answer::Cancel;  // no cable: quit
        if (diver.instructions != 'O') return as(diver.instructions, Answer::Ok);
        if (++instructions <= 3 && bringDeviceBack()) return restoreAsked = true, Answer::Ok;
        return Answer::Cancel;
    }
};

// One scenario: the update, Close, the promise checked, the next run.
class ScenarioRun {
public:
    ScenarioRun(FaultMatrix& matrix, const Scenario& s) : m(matrix), s_(s) {}

    // Runs the scenario and checks its promise; returns its row of the table.
    std::string AndCheck()
    {
        Update();
        CheckTheUpdatesOwnWords();
        const std::string where = WhereIsTheProfile();
        EXPECT_NE(where, "LOST");
        EXPECT_TRUE(!diver_.restoreAsked || where == "device") << "the recovery did not restore: " << where;
        EXPECT_TRUE(!diver_.restoreAsked || diver_.lastBox == m.Text(1013)) << "restored, and the last box says " << diver_.lastBox;
        EXPECT_EQ(diver_.stopAsked, s_.stopAsked) << "Close asked before stopping the update, or not";
        fs::path told;  // the file the last box names
        for (const fs::path& file : Files())
            if (diver_.lastBox == pelora::profiletext::WithArgument(m.Text(1014), file.string())) told = file;
        EXPECT_TRUE(where != "backup file" || !told.empty()) << "the profile stays in its file, and no box said so";
        EXPECT_TRUE(told.empty() || Holds(told)) << "the last box names a file without the profile";
        EXPECT_TRUE(!s_.recoveryOffered || diver_.recoveryOffered == *s_.recoveryOffered) << "the recovery was offered or not";
        EXPECT_LT(m.harness_->Now(), 600.0) << "a wait outlasted its time-outs";
        std::string last;
        for (std::size_t i = rows_.size() >= 3 ? rows_.size() - 3 : 0; i < rows_.size(); ++i)
            last += (last.empty() ? "" : " / ") + rows_[i].substr(2);
        NextRunFinishesTheJob();
        return std::string(s_.phase) + " | `" + s_.fault + "` | " + (updateEnded_ ? last : "(closed)") + " | " + where + " |";
    }

private:
    void Update()
    {
        m.WriteImage(s_.layout);
        m.boxes_ = &diver_;  // never a box of a run before
        m.MakeWindow();
        diver_.diver = s_.diver;
        diver_.stopQuestion = m.Text(772) + "\r\n\r\n" + m.Text(1032);
        diver_.bringDeviceBack = [this] { return BringDeviceBack(); };
        if (s_.arrange) s_.arrange(m);
        if (s_.closeWhen)
            m.harness_->SetIdleHook([this] {
                if (!closed_ && (closed_ = s_.closeWhen(m))) m.window_->CloseCmd_Click();
            });
        try {
            Drive(diver_);
            rows_ = m.UpdateRows();
            if (s_.afterUpdate) s_.afterUpdate(m);
            updateEnded_ = true;
            committed_ = !m.harness_->Dev().CommittedCode(1).empty() || !m.harness_->Dev().CommittedCode(2).empty();
            onDevice_ = m.ProfileOnDevice();
            inFile_ = InFile();
            m.window_->CloseCmd_Click();
            ADD_FAILURE() << "Close did not end the program";
        } catch (const ProgramEnded&) {
        }
    }

    // Start-up, the checks of page 1 and the update, the diver answering.
    void Drive(DiverDialogs& diver)
    {
        m.boxes_ = &diver;
        m.Rebuild();
        ASSERT_TRUE(m.Load());
        m.window_->NextCmd_Click();
        if (m.window_->WizardStage() == 2) m.harness_->WakeDevice(), m.window_->NextCmd_Click();
    }
    std::string Row(int icon, int text) const { return std::to_string(icon) + "|" + m.Text(text); }
    bool Has(int text) const
    {
        return std::any_of(rows_.begin(), rows_.end(), [&](const std::string& row) { return row.substr(2) == m.Text(text); });
    }

    // Finished only when the new code is in, confirmed and the profile back;
    // after 814 a row says truthfully where the profile is, and the last one
    // what to do next: Close for the recovery exactly while it is in its file.
    void CheckTheUpdatesOwnWords()
    {
        if (Has(786)) {
            EXPECT_TRUE(committed_ && onDevice_ && !Has(814));
            EXPECT_EQ(m.harness_->Dev().CodeVersion(), "1C");
            EXPECT_EQ(rows_.back(), Row(1, 1051));
        }
        EXPECT_TRUE(!committed_ || !updateEnded_ || Has(786) || Has(814)) << "code went in, and the update said nothing";
        if (!Has(814)) return;
        ASSERT_GE(rows_.size(), 2u);
        EXPECT_NE(std::find(rows_.begin(), rows_.end(), Row(2, 814)), rows_.end());
        const std::string last = rows_[rows_.size() - 2];
        EXPECT_EQ(rows_.back(), Row(1, last == Row(1, 815) ? 1052 : 1053));
        if (last == Row(1, 815)) {
            EXPECT_TRUE(inFile_) << "815, but no backup file holds the profile";
        } else if (last == Row(1, 1013)) {
            EXPECT_TRUE(onDevice_) << "1013, but the profile is not on the device";
        } else if (last == Row(1, 1012)) {
            EXPECT_TRUE(onDevice_ && m.BlockWrites(true) == 0) << "1012, but the device was changed";
        } else {
            EXPECT_EQ(last, Row(2, 814));
            EXPECT_FALSE(inFile_ && !onDevice_) << "814 alone, while the profile is only in its file";
        }
    }

    // Where the next run looks for a backup file.
    std::vector<fs::path> Files() const
    {
        const fs::path user = m.backupFolders_.User;
        return user.empty() ? std::vector{m.folder_ / kFile} : std::vector{m.folder_ / kFile, user / kFile};
    }
    // The backup file is whole and holds the device's original profile.
    bool Holds(const fs::path& path) const
    {
        const auto file = pelora::ReadBackupFile(path, 512);
        bool same = file.Valid() && std::equal(m.original_.begin() + 64, m.original_.begin() + 80,
                                               file.Content->ProfileHeader.begin());
        for (int i = 1, at = 16 * 16; same && i <= file.Area.BlockCount; ++i, at += 128)
            same = std::equal(m.original_.begin() + at, m.original_.begin() + at + 128,
                              file.Content->ProfileBlocks.Block(i).begin() + 1);
        return same;
    }
    // On the device, in a valid backup file where the next run looks, or lost
    // (a copy only in the archive counts as lost).
    std::string WhereIsTheProfile() const { return m.ProfileOnDevice() ? "device" : InFile() ? "backup file" : "LOST"; }
    bool InFile() const
    {
        const auto files = Files();
        return std::any_of(files.begin(), files.end(), [this](const fs::path& f) { return Holds(f); });
    }

    // The diver takes half a minute to connect the device again: the faults
    // are gone, and a device asleep is woken; one that never came back
    // stays away.
    bool BringDeviceBack()
    {
        m.Wait(30.0);
        m.harness_->Faults().Clear();
        m.harness_->RefuseWritesFrom(sim::Forever);  // a new cable, or the old one plugged in again
        if (m.harness_->Dev().CurrentMode() == sim::Mode::DeepSleep) m.harness_->WakeDevice();
        // A restart that never ends has no timer left.
        return m.harness_->Dev().CurrentMode() != sim::Mode::Restarting || m.harness_->Dev().NextEventTime().has_value();
    }

    // The next run meets the device as this one left it, connected and
    // answering: its update ends with the new code and the profile on the
    // device, and no backup waiting.
    void NextRunFinishesTheJob()
    {
        const auto memory = m.harness_->Dev().Memory();
        const std::string version = m.harness_->Dev().CodeVersion();
        const int revision = m.harness_->Dev().Revision();
        m.window_.reset();
        m.harness_ = std::make_unique<sim::VirtualHarness>(sim::DeviceConfig{});
        m.harness_->Dev().Memory() = memory;
        m.harness_->Dev().SetCodeVersion(version, revision);
        DiverDialogs next;
        next.bringDeviceBack = [] { return false; };
        Drive(next);
        ASSERT_EQ(m.window_->WizardStage(), 3) << next.lastBox;
        const auto rows = m.UpdateRows();
        EXPECT_TRUE(!rows.empty() && (rows.back() == Row(1, 1051) || rows.back() == Row(1, 785))) << (rows.empty() ? "" : rows.back());
        EXPECT_TRUE(m.ProfileOnDevice()) << "the next run did not bring the profile back";
        EXPECT_EQ(m.harness_->Dev().CodeVersion(), "1C");
        for (const fs::path& file : Files()) EXPECT_FALSE(fs::exists(file));
        EXPECT_THROW(m.window_->CloseCmd_Click(), ProgramEnded);
        m.window_.reset();
    }

    FaultMatrix& m;
    const Scenario& s_;
    DiverDialogs diver_;
    std::vector<std::string> rows_;
    bool closed_ = false, updateEnded_ = false, committed_ = false, onDevice_ = false, inFile_ = false;
};

}  // namespace

std::vector<std::string> FaultMatrix::UpdateRows() const
{
    std::vector<std::string> rows;
    const auto* list = window_->TaskLst();
    for (int i = 3; i < list->topLevelItemCount(); ++i)
        rows.push_back(list->topLevelItem(i)->data(0, Qt::UserRole).toString().toStdString() + "|" +
                       list->topLevelItem(i)->text(2).toStdString());
    return rows;
}

bool FaultMatrix::LastRowIs(int text) const
{
    const auto rows = UpdateRows();
    return !rows.empty() && rows.back().substr(2) == Text(text);
}

int FaultMatrix::BlockWrites(bool code) const
{
    int n = 0;
    for (const auto& w : harness_->Writes()) n += w.bytes.size() == 4 && w.bytes[0] == 0xB5 && (w.bytes[1] >= 0x20) == code;
    return n;
}

Step Armed(When when, std::function<void(FaultMatrix&)> fault)
{
    return [when, fault](FaultMatrix& m) {
        m.harness_->SetIdleHook([&m, when, fault, armed = false]() mutable {
            if (!armed && (armed = when(m))) fault(m);
        });
    };
}

Step AtUpdate(std::string spec)
{
    return Armed([](FaultMatrix& m) { return m.window_->WizardStage() == 3; }, AtStageOne(spec));
}

Step AtStageOne(std::string spec)
{
    return [spec](FaultMatrix& m) {
        std::string error;
        ASSERT_TRUE(m.harness_->Faults().Apply(spec, &error)) << spec << ": " << error;
    };
}

When CloseAfterRow(int text)
{
    return [text](FaultMatrix& m) { return m.LastRowIs(text); };
}

void WriteBackupFirst(FaultMatrix& m, const std::function<void(std::vector<std::uint8_t>&)>& change)
{
    pelora::BackupContent content;
    std::copy(m.original_.begin() + 64, m.original_.begin() + 80, content.ProfileHeader.begin());
    content.ProfileHeader[16] = pelora::ByteSum(std::span(content.ProfileHeader).first<16>());
    content.BackupSerialDigits = pelora::SerialDigits(4711);
    for (int i = 1; i <= 40; ++i) {
        auto& row = content.ProfileBlocks.Block(i);
        row[0] = static_cast<std::int16_t>(8 * (i - 1));
        unsigned sum = 0;
        for (int k = 0; k < 128; ++k) sum += row[k + 1] = m.original_[(16 + 8 * (i - 1)) * 16 + k];
        row[129] = static_cast<std::int16_t>(sum % 256);
    }
    auto bytes = pelora::EncodeBackupFile(content);
    change(bytes);
    std::ofstream(m.folder_ / "513.004711.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TEST_F(FaultMatrix, TheProfileIsNeverLostAndNoFailureIsReportedAsSuccess)
{
    std::ofstream table(PELORA_BIN_DIR "/../fault-matrix.md");
    table << "# Fault matrix\n\nEach scenario runs the whole wizard on the emulated device, then Close, then the "
             "next run.\n\n| scenario | phase | fault or action | final rows | profile |\n|---|---|---|---|---|\n";
    int number = 0;
    for (const Scenario& s : Scenarios()) {
        SCOPED_TRACE(std::string(s.phase) + ": " + s.fault);
        backupFolders_ = {};
        for (const auto& entry : fs::directory_iterator(folder_))
            if (entry.path().extension() != ".lng") fs::remove_all(entry.path());
        table << "| " << ++number << " | " << ScenarioRun(*this, s).AndCheck() << "\n";
    }
}

}  // namespace matrix
