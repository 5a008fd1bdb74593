// The fault matrix: the whole wizard, stage 1 to Close, once per fault and
// phase on the emulated device. Whatever happens, the diver's profile ends
// back on the device byte for byte or in a valid backup file, and no failure
// is reported as success. Writes build/fault-matrix.md for people to read.

#include "../wizard/WizardFixture.h"

#include "ImageWriter.h"
#include "profile/BackupFile.h"
#include "wizard/TaskList.h"

#include <filesystem>
#include <fstream>
#include <functional>

using namespace wizardtest;
namespace fs = std::filesystem;
using Answer = pelora::Dialogs::Answer;

namespace {

// Answers every box as a careful diver would: keep the device's newer
// profile, restore at close with the device connected again (trying up to
// three times while it is back), and quit where the cable cannot be found.
class DiverDialogs : public pelora::Dialogs {
public:
    std::function<bool()> bringDeviceBack;  // true when it answers again
    int instructions = 0;
    bool restoreAsked = false;  // OK to the recovery with the device answering again
    Answer Show(Icon icon, Buttons buttons, const std::string&, const std::string&) override
    {
        if (buttons == Buttons::YesNo) return Answer::Yes;  // restore now; keep the device's profile
        if (buttons == Buttons::Ok) return Answer::Ok;
        if (icon == Icon::Information && ++instructions <= 3 && bringDeviceBack()) return restoreAsked = true, Answer::Ok;
        return Answer::Cancel;
    }
};

struct Scenario {
    const char* phase;
    const char* fault;  // a fault spec of the emulator, or what the arrangement does
    std::function<void(class FaultMatrix&)> arrange = {};
    // Close is pressed when this holds during the update.
    std::function<bool(class FaultMatrix&)> closeWhen = {};
    pelora::ImageLayout layout = pelora::ImageLayout::Code1Only;
};

class FaultMatrix : public WizardTest {
public:
    using WizardTest::FramesWithCommand;
    using WizardTest::folder_;
    using WizardTest::harness_;
    using WizardTest::window_;

    void Run(const Scenario& s)
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
            window_->CloseCmd_Click();
            ADD_FAILURE() << "Close did not end the program";
        } catch (const ProgramEnded&) {
        }
        if (!updateEnded_) rows_ = {};
    }

    // What the update's rows say, each "icon|event".
    std::vector<std::string> UpdateRows() const
    {
        std::vector<std::string> rows;
        const auto* list = window_->TaskLst();
        for (int i = 3; i < list->topLevelItemCount(); ++i)
            rows.push_back(std::to_string(list->topLevelItem(i)->data(0, Qt::UserRole).toInt()) + "|" +
                           list->topLevelItem(i)->text(2).toStdString());
        return rows;
    }
    bool HasRow(int text) const
    {
        for (const auto& row : rows_)
            if (row.substr(2) == Text(text)) return true;
        return false;
    }

    // Where the profile is now: on the device, in a valid backup file beside
    // the program or in its archive, or lost.
    std::string WhereIsTheProfile() const
    {
        if (harness_->Dev().Memory() == original_) return "device";
        for (const auto& folder : {folder_, folder_ / "archive"}) {
            if (!fs::is_directory(folder)) continue;
            for (const auto& entry : fs::directory_iterator(folder))
                if (entry.path().extension() == ".bin" && FileHoldsTheProfile(entry.path()))
                    return folder == folder_ ? "backup file" : "archive";
        }
        return "LOST";
    }

    int BlockWrites(bool code) const
    {
        int n = 0;
        for (const auto& w : harness_->Writes())
            n += w.bytes.size() == 4 && w.bytes[0] == 0xB5 && (w.bytes[1] >= 0x20) == code;
        return n;
    }
    bool LastRowIs(int text) const
    {
        const auto rows = UpdateRows();
        return !rows.empty() && rows.back().substr(2) == Text(text);
    }

    pelora::BackupFolders backupFolders_;
    std::vector<std::uint8_t> original_;
    std::vector<std::string> rows_;
    bool updateEnded_ = false;
    bool committed_ = false;
    bool onDeviceAfterUpdate_ = false;
    bool closed_ = false;

private:
    bool FileHoldsTheProfile(const fs::path& path) const
    {
        const auto file = pelora::ReadBackupFile(path, 512);
        if (!file.Valid()) return false;
        if (!std::equal(original_.begin() + 64, original_.begin() + 80, file.Content->ProfileHeader.begin()))
            return false;
        for (int i = 1; i <= file.Area.BlockCount; ++i)
            for (int k = 0; k < 128; ++k)
                if (file.Content->ProfileBlocks.Block(i)[k + 1] != original_[(16 + 8 * (i - 1)) * 16 + k]) return false;
        return true;
    }
    // The diver takes half a minute to connect the device again: the faults
    // are gone, and a device asleep is woken; one that never came back
    // stays away.
    bool BringDeviceBack()
    {
        for (const double back = harness_->Now() + 30.0; harness_->Now() < back;) harness_->Pump().Yield(back);
        harness_->Faults().Clear();
        harness_->RefuseWritesFrom(sim::Forever);  // a new cable, or the old one plugged in again
        if (harness_->Dev().CurrentMode() == sim::Mode::DeepSleep) harness_->WakeDevice();
        // A restart that never ends has no timer left.
        return harness_->Dev().CurrentMode() != sim::Mode::Restarting || harness_->Dev().NextEventTime().has_value();
    }
    void RebuildWindowWith(pelora::Dialogs* dialogs);

public:
    DiverDialogs diver_;
};

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

void Fault(FaultMatrix& m, const std::string& spec)
{
    std::string error;
    ASSERT_TRUE(m.harness_->Faults().Apply(spec, &error)) << spec << ": " << error;
}

// A fault armed when the update starts (frame 1 is its first identification).
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
    // A backup of this device as an earlier run left it, then changed.
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

const Scenario kScenarios[] = {
    {"none", "none"},
    {"stage-1 checks", "unplug:frame=1", AtStageOne("unplug:frame=1")},
    {"stage-1 checks", "reject:A8,10", AtStageOne("reject:A8,10")},
    {"stage-1 checks", "corrupt:84,1,at=3", AtStageOne("corrupt:84,1,at=3")},
    {"stage-1 checks", "stray:0.3", AtStageOne("stray:0.3")},
    {"first identification", "unplug", AtUpdate("unplug")},
    {"first identification", "unplug:for=5", AtUpdate("unplug:for=5")},
    {"first identification", "drop:1", AtUpdate("drop:1")},
    // Single bytes at the pace of the wire (a 5 ms gap would be a 2,000-baud line).
    {"first identification", "chunks:1,0.00026", AtUpdate("chunks:1,0.00026")},
    {"first identification", "delay:frame=3,by=2.5", AtStageOne("delay:frame=3,by=2.5")},
    {"first identification", "noise:84,1", AtUpdate("noise:84,1")},
    {"block 0", "reject:B4,4", AtUpdate("reject:B4,4")},
    {"block 0", "short:B4,1", AtUpdate("short:B4,1")},
    {"block 0", "corrupt:B4,1,at=75", AtUpdate("corrupt:B4,1,at=75")},
    {"backup blocks", "corrupt:B4,1,skip=30,at=-3", AtUpdate("corrupt:B4,1,skip=30,at=-3")},
    {"block 0", "long:B4,1", AtUpdate("long:B4,1")},
    {"backup blocks", "reject:B4,100,skip=10", AtUpdate("reject:B4,100,skip=10")},
    {"backup blocks", "unplug:frame=22", AtStageOne("unplug:frame=22")},
    {"backup blocks", "drop:3,tag=B4,skip=5", AtUpdate("drop:3,tag=B4,skip=5")},
    {"backup blocks", "delay:frame=10,by=0.5", AtStageOne("delay:frame=10,by=0.5")},
    {"backup blocks", "powerloss:frame=17", AtStageOne("powerloss:frame=17")},
    {"upload region 1", "reject:B5-data,100,skip=4", AtUpdate("reject:B5-data,100,skip=4")},
    {"upload region 1", "powerloss:5", AtUpdate("powerloss:5")},
    {"upload region 1", "unplug:frame=52", AtStageOne("unplug:frame=52")},
    {"upload region 1", "drop:2,tag=B5-data", AtUpdate("drop:2,tag=B5-data")},
    {"upload region 1", "delay:frame=47,by=0.3", AtStageOne("delay:frame=47,by=0.3")},
    {"upload region 2", "reject:B7-data,100,skip=3", AtUpdate("reject:B7-data,100,skip=3"), {},
     pelora::ImageLayout::BothCodes},
    {"between the regions", "afterrestart:unplug", AtUpdate("afterrestart:unplug"), {}, pelora::ImageLayout::BothCodes},
    {"after region 2", "afterrestart:norestart", AtUpdate("afterrestart:norestart"), {},
     pelora::ImageLayout::BothCodes},
    {"closing commands", "reject:B6,10", AtUpdate("reject:B6,10")},
    {"closing commands", "powerloss:frame=65", AtStageOne("powerloss:frame=65")},
    {"closing commands", "drop:1,tag=B6", AtUpdate("drop:1,tag=B6")},
    {"restart wait", "norestart", AtUpdate("norestart")},
    {"restart wait", "afterrestart:model:NAVIX", AtUpdate("afterrestart:model:NAVIX")},
    {"restart wait", "afterrestart:oldcode", AtUpdate("afterrestart:oldcode")},
    {"verification", "afterrestart:corrupt:84,12,at=5", AtUpdate("afterrestart:corrupt:84,12,at=5")},
    {"restore blocks", "reject:B5-data,100,skip=15", AtUpdate("reject:B5-data,100,skip=15")},
    {"restore blocks", "unplug:frame=82", AtStageOne("unplug:frame=82")},
    {"restore blocks", "powerloss:frame=92", AtStageOne("powerloss:frame=92")},
    {"header record", "reject:B2,20", AtUpdate("reject:B2,20")},
    {"header record", "reject:B2-data,20", AtUpdate("reject:B2-data,20")},
    {"read-back", "reject:B4,100,skip=41", AtUpdate("reject:B4,100,skip=41")},
    {"read-back", "badcell:73", AtUpdate("afterrestart:badcell:73")},
    {"clock", "reject:97,10", AtUpdate("reject:97,10")},
    {"clock", "reject:97-data,10", AtUpdate("reject:97-data,10")},
    {"final sleep", "reject:A8,10", AtUpdate("reject:A8,10")},
    {"port", "writes refused from 1 s", [](FaultMatrix& m) { m.harness_->RefuseWritesFrom(m.harness_->Now() + 1.0); }},
    {"port", "cable out in the restart wait, back 30 s later",
     [](FaultMatrix& m) { m.harness_->PortGoneAt(m.harness_->Now() + 6.0, 30.0); }},
    {"port", "cable out in the upload, back 30 s later", [](FaultMatrix& m) {
         m.harness_->SetIdleHook([&m, armed = false]() mutable {
             if (!armed && m.BlockWrites(true) == 4) armed = true, m.harness_->PortGoneAt(m.harness_->Now(), 30.0);
         });
     }},
    {"port", "one write refused in the upload", [](FaultMatrix& m) {
         m.harness_->SetIdleHook([&m, armed = false]() mutable {
             if (!armed && m.BlockWrites(true) == 4) armed = true, m.harness_->RefuseNextWrites(1);
         });
     }},
    {"close", "Close in the backup", {}, [](FaultMatrix& m) { return m.FramesWithCommand(0xB4) > 10; }},
    {"close", "Close in the upload", {}, [](FaultMatrix& m) { return m.BlockWrites(true) > 3; }},
    {"close", "Close in the restart wait", {}, CloseAfterRow(803)},
    {"close", "Close in the restore", {}, [](FaultMatrix& m) { return m.LastRowIs(796) && m.BlockWrites(false) > 5; }},
    {"files", "damaged backup file", [](FaultMatrix& m) { WriteBackupFirst(m, [](auto& b) { b[40] ^= 1; }); }},
    {"files", "foreign backup file", [](FaultMatrix& m) { WriteBackupFirst(m, [](auto& b) { b[17] = 9; }); }},
    {"files", "valid backup of this device", [](FaultMatrix& m) { WriteBackupFirst(m, [](auto&) {}); }},
    {"files", "unwritable program folder", [](FaultMatrix& m) {
         m.backupFolders_ = {m.folder_ / "FirmwareUpdate.lng", m.folder_ / "user"};
     }},
};

}  // namespace

TEST_F(FaultMatrix, TheProfileIsNeverLostAndNoFailureIsReportedAsSuccess)
{
    std::ofstream table(PELORA_BIN_DIR "/../fault-matrix.md");
    table << "# Fault matrix\n\nEach scenario runs the whole wizard on the emulated device, then Close.\n\n"
             "| scenario | phase | fault | final rows | profile |\n|---|---|---|---|---|\n";
    int number = 0;
    for (const Scenario& s : kScenarios) {
        SCOPED_TRACE(std::string(s.phase) + ": " + s.fault);
        closed_ = updateEnded_ = committed_ = onDeviceAfterUpdate_ = false;
        backupFolders_ = {};
        fs::remove_all(folder_ / "archive");
        for (const auto& entry : fs::directory_iterator(folder_))
            if (entry.path().extension() != ".lng" && entry.path().extension() != ".FWR") fs::remove_all(entry.path());
        Run(s);

        const std::string where = WhereIsTheProfile();
        // Finished only when the new code is in, confirmed and the profile back.
        const bool finished = HasRow(786);
        if (finished) {
            EXPECT_TRUE(committed_ && onDeviceAfterUpdate_ && !HasRow(814));
            EXPECT_EQ(harness_->Dev().CodeVersion(), "1C");
        }
        EXPECT_TRUE(!HasRow(814) || HasRow(815));
        EXPECT_TRUE(!committed_ || !updateEnded_ || finished || HasRow(814)) << "code went in, and the update said nothing";
        // The promise, after Close and any recovery.
        EXPECT_NE(where, "LOST");
        EXPECT_TRUE(!diver_.restoreAsked || where == "device") << "the recovery did not restore: " << where;
        EXPECT_EQ(endings_.back(), 0);
        EXPECT_LT(harness_->Now(), 600.0) << "a wait outlasted its time-outs";

        std::string last;
        for (std::size_t i = rows_.size() >= 2 ? rows_.size() - 2 : 0; i < rows_.size(); ++i)
            last += (last.empty() ? "" : " / ") + rows_[i].substr(2);
        table << "| " << ++number << " | " << s.phase << " | `" << s.fault << "` | " << (updateEnded_ ? last : "(closed)")
              << " | " << where << " |\n";
    }
    EXPECT_GE(number, 40);
}
