// The fault matrix's runner and its checks; the scenarios are in
// DeviceFaults.cpp and DiverActions.cpp. Writes build/fault-matrix.md.
#include "FaultMatrix.h"

#include "ImageWriter.h"
#include "profile/BackupFile.h"
#include "profile/ProfileTexts.h"
#include "wizard/TaskList.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace matrix {

namespace fs = std::filesystem;
using wizardtest::ProgramEnded;

Answer DiverDialogs::Show(Icon icon, Buttons buttons, const std::string& title, const std::string& text)
{
    const Answer dismissed =
        buttons == Buttons::Ok ? Answer::Ok : buttons == Buttons::OkCancel ? Answer::Cancel : Answer::No;
    return Ask(icon, buttons, title, text, dismissed);
}

Answer DiverDialogs::Ask(Icon icon, Buttons buttons, const std::string&, const std::string& text, Answer keeps)
{
    lastBox = text;
    const auto as = [keeps](char c, Answer yes) {
        return c == 'E' ? keeps : c == 'Y' || c == 'O' ? yes : c == 'N' ? Answer::No : Answer::Cancel;
    };
    if (buttons == Buttons::Ok) return Answer::Ok;
    if (buttons == Buttons::YesNoDefaultNo) {
        stopAsked = true;
        return as(diver.stop, Answer::Yes);
    }
    if (buttons == Buttons::YesNo && icon == Icon::Question) return as(diver.stale, Answer::Yes);
    if (buttons == Buttons::YesNo) {
        recoveryOffered = true;
        return as(diver.recovery, Answer::Yes);
    }
    if (icon != Icon::Information) return Answer::Cancel;  // no cable: quit
    if (diver.instructions != 'O') return as(diver.instructions, Answer::Ok);
    if (++instructions <= 3 && bringDeviceBack()) return restoreAsked = true, Answer::Ok;
    return Answer::Cancel;
}

void Fault(FaultMatrix& m, const std::string& spec)
{
    std::string error;
    ASSERT_TRUE(m.harness_->Faults().Apply(spec, &error)) << spec << ": " << error;
}

std::function<void(FaultMatrix&)> AtUpdate(std::string spec)
{
    return [spec](FaultMatrix& m) {
        m.harness_->SetIdleHook([&m, spec, armed = false]() mutable {
            if (armed || m.window_->WizardStage() != 3) return;
            armed = true;
            Fault(m, spec);
        });
    };
}

std::function<void(FaultMatrix&)> AtStageOne(std::string spec)
{
    return [spec](FaultMatrix& m) { Fault(m, spec); };
}

std::function<bool(FaultMatrix&)> CloseAfterRow(int text)
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

std::vector<std::string> FaultMatrix::UpdateRows() const
{
    std::vector<std::string> rows;
    const auto* list = window_->TaskLst();
    for (int i = 3; i < list->topLevelItemCount(); ++i)
        rows.push_back(std::to_string(list->topLevelItem(i)->data(0, Qt::UserRole).toInt()) + "|" +
                       list->topLevelItem(i)->text(2).toStdString());
    return rows;
}

bool FaultMatrix::HasRow(int text) const
{
    return std::any_of(rows_.begin(), rows_.end(), [&](const std::string& row) { return row.substr(2) == Text(text); });
}

bool FaultMatrix::LastRowIs(int text) const
{
    const auto rows = UpdateRows();
    return !rows.empty() && rows.back().substr(2) == Text(text);
}

int FaultMatrix::BlockWrites(bool code) const
{
    int n = 0;
    for (const auto& w : harness_->Writes())
        n += w.bytes.size() == 4 && w.bytes[0] == 0xB5 && (w.bytes[1] >= 0x20) == code;
    return n;
}

void FaultMatrix::RebuildWindowWith(pelora::Dialogs* dialogs)
{
    window_.reset();
    auto endProgram = [this](int exitCode) {
        endings_.push_back(exitCode);
        throw ProgramEnded{};
    };
    pelora::WizardServices services{harness_->Port(), harness_->Clock(), harness_->Pump(), portFinder_,
                                    priority_,        launcher_,         dialogs,          folder_.string(),
                                    configuration_,   endProgram,        localTime_,       backupFolders_};
    window_ = std::make_unique<pelora::MFUMain>(std::move(services));
}

// The diver takes half a minute to connect the device again: the faults
// are gone, and a device asleep is woken; one that never came back
// stays away.
bool FaultMatrix::BringDeviceBack()
{
    for (const double back = harness_->Now() + 30.0; harness_->Now() < back;) harness_->Pump().Yield(back);
    harness_->Faults().Clear();
    harness_->RefuseWritesFrom(sim::Forever);  // a new cable, or the old one plugged in again
    if (harness_->Dev().CurrentMode() == sim::Mode::DeepSleep) harness_->WakeDevice();
    // A restart that never ends has no timer left.
    return harness_->Dev().CurrentMode() != sim::Mode::Restarting || harness_->Dev().NextEventTime().has_value();
}

void FaultMatrix::Run(const Scenario& s)
{
    fwrtool::ImageSpec spec;
    spec.Layout = s.layout;
    spec.Code1BlockCount = s.layout == pelora::ImageLayout::Code2Only ? 0 : 10;
    spec.Code2BlockCount = s.layout == pelora::ImageLayout::Code1Only ? 0 : 10;
    const auto image = fwrtool::WriteImage(spec);
    std::ofstream(folder_ / "PELORA.1D.FWR", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    MakeWindow();
    original_ = harness_->Dev().Memory();
    diver_ = DiverDialogs{};
    diver_.diver = s.diver;
    diver_.bringDeviceBack = [this] { return BringDeviceBack(); };
    if (s.arrange) s.arrange(*this);
    RebuildWindowWith(&diver_);
    ASSERT_TRUE(Load());

    if (s.closeWhen)
        harness_->SetIdleHook([this, &s] {
            if (!closed_ && s.closeWhen(*this)) {
                closed_ = true;
                window_->CloseCmd_Click();
            }
        });
    try {
        window_->NextCmd_Click();
        if (window_->WizardStage() == 2) {
            harness_->WakeDevice();
            window_->NextCmd_Click();
        }
        rows_ = UpdateRows();
        updateEnded_ = true;
        committed_ = !harness_->Dev().CommittedCode(1).empty() || !harness_->Dev().CommittedCode(2).empty();
        onDeviceAfterUpdate_ = harness_->Dev().Memory() == original_;
        inFileAfterUpdate_ = false;
        for (const auto& folder : BackupFolders())
            inFileAfterUpdate_ = inFileAfterUpdate_ || FileHoldsTheProfile(folder / "513.004711.bin");
        window_->CloseCmd_Click();
        ADD_FAILURE() << "Close did not end the program";
    } catch (const ProgramEnded&) {
    }
    if (!updateEnded_) rows_ = {};
}

// Finished only when the new code is in, confirmed and the profile back;
// after 814 a row says truthfully where the profile is, and the last one what
// to do next: Close for the recovery exactly while the profile is in its file.
void FaultMatrix::CheckTheUpdatesOwnWords()
{
    if (HasRow(786)) {
        EXPECT_TRUE(committed_ && onDeviceAfterUpdate_ && !HasRow(814));
        EXPECT_EQ(harness_->Dev().CodeVersion(), "1C");
        EXPECT_EQ(rows_.back().substr(2), Text(1051));
    }
    EXPECT_TRUE(!committed_ || !updateEnded_ || HasRow(786) || HasRow(814)) << "code went in, and the update said nothing";
    if (!HasRow(814)) return;
    ASSERT_GE(rows_.size(), 2u);
    const std::string last = rows_[rows_.size() - 2].substr(2);
    EXPECT_EQ(rows_.back().substr(2), Text(last == Text(815) ? 1052 : 1053));
    if (last == Text(815)) {
        EXPECT_TRUE(inFileAfterUpdate_) << "815, but no backup file holds the profile";
    } else if (last == Text(1013)) {
        EXPECT_TRUE(onDeviceAfterUpdate_) << "1013, but the profile is not on the device";
    } else if (last == Text(1012)) {
        EXPECT_TRUE(onDeviceAfterUpdate_ && !committed_) << "1012, but the device was changed";
    } else {
        EXPECT_EQ(last, Text(814));
        EXPECT_FALSE(inFileAfterUpdate_ && !onDeviceAfterUpdate_) << "814 alone, while the profile is only in its file";
    }
}

std::vector<fs::path> FaultMatrix::BackupFolders() const
{
    std::vector<fs::path> folders{folder_};
    if (!backupFolders_.User.empty()) folders.push_back(backupFolders_.User);
    return folders;
}

// Where the profile is now: on the device, in a valid backup file where the
// next run looks, or lost (a copy only in the archive counts as lost).
std::string FaultMatrix::WhereIsTheProfile() const
{
    if (harness_->Dev().Memory() == original_) return "device";
    for (const auto& folder : BackupFolders())
        if (FileHoldsTheProfile(folder / "513.004711.bin")) return "backup file";
    return "LOST";
}

fs::path FaultMatrix::FileTheLastBoxNames() const
{
    for (const auto& folder : BackupFolders()) {
        const fs::path path = folder / "513.004711.bin";
        if (diver_.lastBox == pelora::profiletext::WithArgument(Text(1014), path.string())) return path;
    }
    return {};
}

bool FaultMatrix::FileHoldsTheProfile(const fs::path& path) const
{
    const auto file = pelora::ReadBackupFile(path, 512);
    if (!file.Valid()) return false;
    if (!std::equal(original_.begin() + 64, original_.begin() + 80, file.Content->ProfileHeader.begin())) return false;
    for (int i = 1; i <= file.Area.BlockCount; ++i)
        for (int k = 0; k < 128; ++k)
            if (file.Content->ProfileBlocks.Block(i)[k + 1] != original_[(16 + 8 * (i - 1)) * 16 + k]) return false;
    return true;
}

// The next run meets the device as this one left it, connected and
// answering: its update ends with the new code and the profile on the
// device, and no backup waiting.
void FaultMatrix::NextRunFinishesTheJob()
{
    const auto memory = harness_->Dev().Memory();
    const std::string version = harness_->Dev().CodeVersion();
    const int revision = harness_->Dev().Revision();
    window_.reset();
    harness_ = std::make_unique<sim::VirtualHarness>(sim::DeviceConfig{});
    harness_->Dev().Memory() = memory;
    harness_->Dev().SetCodeVersion(version, revision);
    DiverDialogs next;
    next.bringDeviceBack = [] { return false; };
    RebuildWindowWith(&next);
    ASSERT_TRUE(Load());
    window_->NextCmd_Click();
    ASSERT_EQ(window_->WizardStage(), 2) << next.lastBox;
    harness_->WakeDevice();
    window_->NextCmd_Click();
    const auto rows = UpdateRows();
    const bool done = !rows.empty() && (rows.back().substr(2) == Text(1051) || rows.back().substr(2) == Text(785));
    EXPECT_TRUE(done) << (rows.empty() ? "" : rows.back());
    EXPECT_TRUE(harness_->Dev().Memory() == original_) << "the next run did not bring the profile back";
    EXPECT_EQ(harness_->Dev().CodeVersion(), "1C");
    for (const auto& folder : BackupFolders()) EXPECT_FALSE(fs::exists(folder / "513.004711.bin"));
    EXPECT_THROW(window_->CloseCmd_Click(), ProgramEnded);
}

std::string FaultMatrix::RunAndCheck(const Scenario& s)
{
    closed_ = updateEnded_ = committed_ = onDeviceAfterUpdate_ = inFileAfterUpdate_ = false;
    backupFolders_ = {};
    fs::remove_all(folder_ / "archive");
    for (const auto& entry : fs::directory_iterator(folder_))
        if (entry.path().extension() != ".lng" && entry.path().extension() != ".FWR") fs::remove_all(entry.path());
    Run(s);

    CheckTheUpdatesOwnWords();
    // The promise, after Close and any recovery, and the last words.
    const std::string where = WhereIsTheProfile();
    EXPECT_NE(where, "LOST");
    EXPECT_TRUE(!diver_.restoreAsked || where == "device") << "the recovery did not restore: " << where;
    EXPECT_TRUE(!diver_.restoreAsked || diver_.lastBox == Text(1013)) << "restored, and the last box says " << diver_.lastBox;
    EXPECT_EQ(diver_.stopAsked, s.stopAsked) << "Close asked before stopping the update, or not";
    const fs::path told = FileTheLastBoxNames();
    EXPECT_TRUE(where != "backup file" || !told.empty()) << "the profile stays in its file, and no box said so";
    EXPECT_TRUE(told.empty() || FileHoldsTheProfile(told)) << "the last box names a file without the profile";
    EXPECT_TRUE(!s.recoveryOffered || diver_.recoveryOffered == *s.recoveryOffered) << "the recovery was offered or not";
    EXPECT_LT(harness_->Now(), 600.0) << "a wait outlasted its time-outs";

    std::string last;
    for (std::size_t i = rows_.size() >= 3 ? rows_.size() - 3 : 0; i < rows_.size(); ++i)
        last += (last.empty() ? "" : " / ") + rows_[i].substr(2);
    const std::string row = std::string(s.phase) + " | `" + s.fault + "` | " + (updateEnded_ ? last : "(closed)") +
                            " | " + where + " |";
    NextRunFinishesTheJob();
    return row;
}

TEST_F(FaultMatrix, TheProfileIsNeverLostAndNoFailureIsReportedAsSuccess)
{
    std::ofstream table(PELORA_BIN_DIR "/../fault-matrix.md");
    table << "# Fault matrix\n\nEach scenario runs the whole wizard on the emulated device, then Close, then the "
             "next run.\n\n| scenario | phase | fault or action | final rows | profile |\n|---|---|---|---|---|\n";
    int number = 0;
    for (const auto scenarios : {DeviceFaultScenarios(), DiverActionScenarios()})
        for (const Scenario& s : scenarios) {
            SCOPED_TRACE(std::string(s.phase) + ": " + s.fault);
            table << "| " << ++number << " | " << RunAndCheck(s) << "\n";
        }
}

}  // namespace matrix
