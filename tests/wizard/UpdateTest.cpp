// The whole update through the window, on the emulated device and the
// virtual clock: what the diver sees, what the device received, and where
// the profile ended.

#include "WizardFixture.h"

#include "ImageWriter.h"
#include "profile/BackupFile.h"
#include "sim/Memory.h"
#include "wizard/TaskList.h"

#include <QProgressBar>
#include <QPushButton>

#include <algorithm>
#include <fstream>
#include <functional>

using namespace wizardtest;
using Layout = pelora::ImageLayout;
namespace fs = std::filesystem;

namespace {

// A row as "icon|event|status".
using Rows = std::vector<std::string>;

class UpdateTest : public WizardTest {
protected:
    // A window on this device with this image, at stage 2, the device awake.
    void Prepare(Layout layout, sim::DeviceConfig device = {}, int blocks = 10)
    {
        fwrtool::ImageSpec spec;
        spec.Layout = layout;
        spec.Code1BlockCount = layout == Layout::Code2Only ? 0 : blocks;
        spec.Code2BlockCount = layout == Layout::Code1Only ? 0 : blocks;
        const auto bytes = fwrtool::WriteImage(spec);
        std::ofstream(folder_ / "PELORA.1D.FWR", std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        MakeWindow(device);
        original_ = harness_->Dev().Memory();
        ReachStage2();
        firstRow_ = window_->TaskLst()->topLevelItemCount();
    }
    // The rows the update added.
    Rows UpdateRows() const
    {
        Rows rows;
        const auto* list = window_->TaskLst();
        for (int i = firstRow_; i < list->topLevelItemCount(); ++i) {
            const auto* item = list->topLevelItem(i);
            rows.push_back(std::to_string(item->data(0, Qt::UserRole).toInt()) + "|" +
                           item->text(2).toStdString() + "|" + item->text(3).toStdString());
        }
        return rows;
    }
    std::string Row(int icon, int text, const std::string& status = "") const
    {
        return std::to_string(icon) + "|" + Text(text) + "|" + status;
    }
    // The frames the program wrote, a token each, repeats counted: a block
    // write is "W5"/"W7", a record "B2+R", a clock setting "97+C".
    std::string FrameSummary() const
    {
        std::vector<std::string> tokens;
        const auto& writes = harness_->Writes();
        for (std::size_t i = 0; i < writes.size(); ++i) {
            const auto& bytes = writes[i].bytes;
            char hex[8];
            std::snprintf(hex, sizeof hex, "%02X", bytes[0]);
            std::string token = hex;
            const std::size_t next = i + 1 < writes.size() ? writes[i + 1].bytes.size() : 0;
            if ((bytes[0] == 0xB5 || bytes[0] == 0xB7) && bytes.size() == 4 && next == 130) token = bytes[0] == 0xB5 ? "W5" : "W7";
            if (bytes[0] == 0xB2 && next == 18) token = "B2+R";
            if (bytes[0] == 0x97 && next == 10) token = "97+C";
            if (token != hex) ++i;
            tokens.push_back(token);
        }
        std::string summary;
        for (std::size_t i = 0; i < tokens.size();) {
            std::size_t n = 1;
            while (i + n < tokens.size() && tokens[i + n] == tokens[i]) ++n;
            summary += (summary.empty() ? "" : " ") + tokens[i] + (n > 1 ? "*" + std::to_string(n) : "");
            i += n;
        }
        return summary;
    }
    bool ProfileOnDevice() const { return harness_->Dev().Memory() == original_; }
    fs::path Backup() const { return folder_ / "513.004711.bin"; }
    // The backup file is whole and holds the device's original profile.
    bool ProfileInFile() const
    {
        const auto file = pelora::ReadBackupFile(Backup(), 512);
        if (!file.Valid()) return false;
        for (int i = 1; i <= file.Area.BlockCount; ++i)
            for (int k = 0; k < 128; ++k)
                if (file.Content->ProfileBlocks.Block(i)[k + 1] != original_[(16 + 8 * (i - 1)) * 16 + k]) return false;
        return std::equal(original_.begin() + 64, original_.begin() + 80, file.Content->ProfileHeader.begin());
    }
    // Runs the update; the idle hook may act in the middle of it.
    void RunUpdate(std::function<bool()> closeWhen = {})
    {
        if (closeWhen)
            harness_->SetIdleHook([this, closeWhen] {
                if (!closed_ && closeWhen()) {
                    closed_ = true;
                    window_->CloseCmd_Click();
                }
            });
        window_->NextCmd_Click();
    }

    std::vector<std::uint8_t> original_;
    int firstRow_ = 0;
    bool closed_ = false;
};

}  // namespace

// Each layout updates the device end to end: the rows the diver reads, the
// frames in their order, the new code in place and the profile back.
TEST_F(UpdateTest, EachLayoutUpdatesTheDeviceAndWritesTheProfileBack)
{
    const std::string device = "1|Pelora 1D, " + Text(781) + ": 1B|";
    const std::string backup = "0|Backup dive computer profile|" + Text(777);
    struct Case { Layout layout; Rows upload; std::string frames; };
    const Case cases[] = {
        {Layout::Code1Only, {Row(0, 787, Text(777)), Row(0, 803, Text(777))},
         "84 A8 84 B4*82 W5*10 B6 84 W5*40 B2+R B4 97+C*2 A8"},
        {Layout::Code2Only, {Row(0, 787, Text(777)), Row(0, 803, Text(777))},
         "84 A8 84 B4*82 W7*10 B8 B9 84 BA W5*40 B2+R B4 97+C*2 A8"},
        {Layout::BothCodes,
         {Row(0, 788, Text(777)), Row(0, 803, Text(777)), Row(0, 789, Text(777)), Row(0, 803, Text(777))},
         "84 A8 84 B4*82 W5*10 B6 84 W7*10 B8 B9 84 BA W5*40 B2+R B4 97+C*2 A8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.layout));
        // A record that cannot be written (here a folder in its place) stops nothing.
        const bool recordBlocked = c.layout == Layout::BothCodes;
        fs::remove_all(folder_ / "FirmwareUpdate.log");
        if (recordBlocked) fs::create_directory(folder_ / "FirmwareUpdate.log");
        Prepare(c.layout);
        std::vector<int> bar;
        harness_->SetIdleHook([&] { bar.push_back(window_->UpdateBar()->value()); });
        RunUpdate();
        Rows expected{Row(0, 782, Text(777)), device, backup};
        expected.insert(expected.end(), c.upload.begin(), c.upload.end());
        expected.insert(expected.end(), {Row(0, 792, Text(777)), Row(1, 794), Row(0, 796, Text(777)), Row(1, 786)});
        EXPECT_EQ(UpdateRows(), expected);
        EXPECT_EQ(FrameSummary(), c.frames);
        EXPECT_TRUE(ProfileOnDevice());
        EXPECT_EQ(harness_->Dev().CodeVersion(), "1C");
        EXPECT_TRUE(window_->ProfileSafe());
        EXPECT_FALSE(fs::exists(Backup()));
        EXPECT_EQ(priority_.classes.front(), pelora::HIGH_PRIORITY_CLASS);
        EXPECT_EQ(priority_.classes.back(), pelora::NORMAL_PRIORITY_CLASS);
        // The bar only moves forward, and ends full.
        EXPECT_TRUE(std::is_sorted(bar.begin(), bar.end()));
        EXPECT_LT(bar.front(), 50);
        EXPECT_EQ(window_->UpdateBar()->value(), 1000);
        // The record holds every row with its date, percentages by tens.
        EXPECT_EQ(window_->Record().Path().empty(), recordBlocked);
        if (!recordBlocked) {
            std::ifstream in(folder_ / "FirmwareUpdate.log");
            const std::string record((std::istreambuf_iterator<char>(in)), {});
            EXPECT_NE(record.find("2026-03-05 14:07:09  result " + Text(786) + "\n"), std::string::npos) << record;
            EXPECT_NE(record.find("-> 50%\n"), std::string::npos);
            EXPECT_EQ(record.find("-> 8%\n"), std::string::npos);  // 3 of 40 blocks
        }
    }
}

// Every way an update can stop short: the rows it ends with, whether code
// went in, and that the profile is on the device or safe in its file.
TEST_F(UpdateTest, AnUpdateThatStopsShortSaysSoAndKeepsTheProfile)
{
    struct Case {
        const char* name;
        Layout layout;
        std::function<void(sim::DeviceConfig&)> device;
        std::function<void()> arrange;
        std::function<Rows()> tail;
        bool committed;
        bool profileOnDevice;
    };
    const auto none = [](sim::DeviceConfig&) {};
    const Case cases[] = {
        {"already up to date", Layout::Code1Only, [](auto& d) { d.codeVersion = "1C"; }, [] {},
         [this] { return Rows{Row(0, 782, Text(777)), Row(1, 785)}; }, false, true},
        {"too old for the image", Layout::Code1Only, [](auto& d) { d.codeVersion = "19"; }, [] {},
         [this] { return Rows{"2|" + Text(783) + "Pelora 1D, " + Text(781) + " 1A " + Text(784) + "|"}; },
         false, true},
        {"another model", Layout::Code1Only, none, [this] { harness_->Dev().SetModelKey("NAVIX"); },
         [this] { return Rows{"2|" + Text(783) + " Pelora 1D!|"}; }, false, true},
        {"Code2Only, device revision higher", Layout::Code2Only, none, [this] { window_->Update().DeviceCodeRevision = 9; },
         [this] { return Rows{Row(1, 785)}; }, false, true},
        {"silent at the identification", Layout::Code1Only, none, [this] { harness_->Faults().UnplugAt(harness_->Now()); },
         [this] { return Rows{Row(0, 782, Text(280)), Row(2, 150)}; }, false, true},
        {"block 5 of 10 refused", Layout::Code1Only, none,
         [this] { harness_->Faults().Reject(sim::DataFrame(0xB5), 1000, 4); },
         [this] { return Rows{Row(0, 787, Text(280)), Row(2, 790), Row(2, 814), Row(1, 815)}; }, false, true},
        {"closing command refused", Layout::BothCodes, none, [this] { harness_->Faults().Reject(0xB6, 1000); },
         [this] { return Rows{Row(0, 788, Text(280)), Row(2, 790), Row(2, 814), Row(1, 815)}; }, false, true},
        {"power lost in the upload", Layout::Code1Only, none, [this] { harness_->Faults().PowerLossAfterCodeBlock(5); },
         [this] { return Rows{Row(0, 787, Text(280)), Row(2, 790), Row(2, 814), Row(1, 815)}; }, false, true},
        {"no return after the restart", Layout::Code1Only, none, [this] { harness_->Faults().NoReturnFromRestart(); },
         [this] { return Rows{Row(0, 792, Text(280)), Row(2, 150), Row(2, 814), Row(1, 815)}; }, true, false},
        {"another model after the restart", Layout::Code1Only, none,
         [this] { harness_->At(harness_->Now() + 10, [this] { harness_->Dev().SetModelKey("NAVIX"); }); },
         [this] { return Rows{Row(0, 792, Text(777)), Row(2, 793), Row(2, 814), Row(1, 815)}; }, true, false},
        {"new code not confirmed", Layout::Code1Only, [](auto& d) { d.idText = "PELORA 1D-V1B H2"; }, [] {},
         [this] { return Rows{Row(0, 792, Text(777)), Row(0, 796, Text(777)), Row(2, 814), Row(1, 815)}; }, true, true},
        {"backup failed: no code", Layout::Code1Only, none, [this] { harness_->Faults().Reject(0xB4, 1000, 10); },
         [this] { return Rows{"0|Backup dive computer profile|" + Text(280), Row(2, 797), Row(2, 814), Row(1, 815)}; },
         false, true},
        {"empty profile, upload refused", Layout::Code1Only, [](auto& d) { d.profileBlocks = 0; },
         [this] { harness_->Faults().Reject(sim::DataFrame(0xB5), 1000); },
         [this] { return Rows{Row(0, 787, Text(280)), Row(2, 790), Row(2, 814), Row(1, 815)}; }, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::DeviceConfig config;
        c.device(config);
        Prepare(c.layout, config);
        c.arrange();
        RunUpdate();

        const Rows rows = UpdateRows();
        const Rows tail = c.tail();
        ASSERT_GE(rows.size(), tail.size());
        EXPECT_EQ(Rows(rows.end() - static_cast<std::ptrdiff_t>(tail.size()), rows.end()), tail);
        EXPECT_EQ(!harness_->Dev().CommittedCode(1).empty() || !harness_->Dev().CommittedCode(2).empty(), c.committed);
        EXPECT_EQ(ProfileOnDevice(), c.profileOnDevice);
        // Wherever it is not, it is safe in its file, and Close will offer it.
        if (!c.profileOnDevice) {
            EXPECT_TRUE(ProfileInFile());
            EXPECT_FALSE(window_->ProfileSafe());
        }
        EXPECT_TRUE(window_->BackCmd()->isEnabled());
    }
}

// Close in the middle of any phase ends the program; the profile is on the
// device or in its file, and the next run's update writes it back.
TEST_F(UpdateTest, CloseInAnyPhaseEndsAndTheNextRunFinishesTheJob)
{
    // Block headers to code (0x2000 up) or to the profile area.
    const auto blockWrites = [this](bool code) {
        int n = 0;
        for (const auto& w : harness_->Writes())
            n += w.bytes.size() == 4 && w.bytes[0] == 0xB5 && (w.bytes[1] >= 0x20) == code;
        return n;
    };
    const auto lastRowIs = [this](int text) {
        const auto rows = UpdateRows();
        return !rows.empty() && rows.back().find("|" + Text(text) + "|") != std::string::npos;
    };
    const std::pair<const char*, std::function<bool()>> phases[] = {
        {"backup", [this] { return FramesWithCommand(0xB4) > 10; }},
        {"upload", [&] { return blockWrites(true) > 3; }},
        {"restart wait", [&] { return lastRowIs(803); }},
        {"restore", [&] { return lastRowIs(796) && blockWrites(false) > 5; }},
    };
    for (const auto& [phase, when] : phases) {
        SCOPED_TRACE(phase);
        Prepare(Layout::Code1Only);
        closed_ = false;
        EXPECT_THROW(RunUpdate(when), ProgramEnded);
        EXPECT_TRUE(closed_);
        EXPECT_TRUE(ProfileOnDevice() || ProfileInFile());

        // The next run meets the same device as Close left it.
        const auto memory = harness_->Dev().Memory();
        const std::string version = harness_->Dev().CodeVersion();
        window_.reset();
        MakeWindow();
        harness_->Dev().Memory() = memory;
        harness_->Dev().SetCodeVersion(version, 1);
        ReachStage2();
        firstRow_ = window_->TaskLst()->topLevelItemCount();
        window_->NextCmd_Click();
        EXPECT_EQ(UpdateRows().back(), Row(1, 786));
        EXPECT_TRUE(ProfileOnDevice());
        EXPECT_EQ(harness_->Dev().CodeVersion(), "1C");
        EXPECT_FALSE(fs::exists(Backup()));
    }
}
