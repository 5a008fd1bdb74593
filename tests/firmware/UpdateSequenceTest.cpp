// The update sequence without the window, on the emulated device and the
// virtual clock: what it decides from the device's code, how long it waits
// for a restart, what it sends, and that every way out leaves the stage reset.
#include "ImageWriter.h"
#include "firmware/FirmwareUpdate.h"
#include "link/CommModule.h"
#include "platform/StringTable.h"
#include "sim/VirtualHarness.h"
#include "support/Fakes.h"
#include "support/TestTexts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>

namespace {

namespace fs = std::filesystem;
using Layout = pelora::ImageLayout;
using Configure = std::function<void(sim::DeviceConfig&)>;

constexpr std::uint8_t kImageRevision = 5;  // the image's code is "1C", revision 5

std::string Text(int id) { return testsupport::EnglishTexts().GetText(id); }

class UpdateSequenceTest : public ::testing::Test {
protected:
    void TearDown() override { fs::remove_all(folder_); }

    // A fresh device and update, a profile owed a restore as the window starts
    // an update. The device holds code "1B", revision 0, unless configured.
    void Start(Layout layout, int revisionSetting = 0, const Configure& configure = {})
    {
        update_.reset(), link_.reset();  // the link holds the old harness's port
        sim::DeviceConfig config;
        config.profileBlocks = 2;
        config.restartSeconds = 1.0;  // back long before any wait ends
        if (configure) configure(config);
        auto read = pelora::ParseFirmwareImage(fwrtool::WriteImage(
            {.Layout = layout, .Revision = kImageRevision, .Code1BlockCount = 3, .Code2BlockCount = 3}));
        ASSERT_TRUE(read.Loaded()) << read.Failure.Detail;
        image_ = std::make_unique<pelora::ImageState>();
        static_cast<pelora::FirmwareImage&>(*image_) = std::move(*read.Image);
        // The oldest code a Code1Only image takes is the configuration's ("1A").
        image_->MinCodeVersion =
            pelora::ReadDeviceConfiguration(pelora::LoadString(pelora::DeviceConfigurationString)).MinCodeVersion;
        image_->RevisionSetting = static_cast<std::uint8_t>(revisionSetting);
        harness_ = std::make_unique<sim::VirtualHarness>(config);
        link_ = std::make_unique<pelora::CommModule>(harness_->Port(), harness_->Clock(), harness_->Pump());
        link_->State().ResizeReceiveBuffers(static_cast<std::size_t>(image_->MemorySize) * 136 + 2);
        ASSERT_TRUE(harness_->Port().Open(nullptr));
        fs::remove_all(folder_), fs::create_directories(folder_);
        log_.rows.clear(), priority_.classes.clear(), resets_ = 0;
        profile_ = std::make_unique<pelora::SavedProfile>();
        profile_->ProfileRestorePending = true;
        const auto& texts = testsupport::EnglishTexts();
        // The window's stage reset: it sets the priority back to normal.
        const auto resetStage = [this] { ++resets_, priority_.SetProcessPriority(0, 0, pelora::NormalPriorityClass); };
        const auto keeper = [this, &texts](pelora::TaskLog& stepLog) {
            return pelora::ProfileKeeper(
                *profile_, {*link_, stepLog, dialogs_, texts, priority_, localTime_, {folder_, {}}, [] {}},
                {image_->ModelNumber, static_cast<int>(image_->MemorySize)});
        };
        update_ = std::make_unique<pelora::FirmwareUpdate>(
            *image_, *profile_,
            pelora::UpdateSeams{*link_, log_, texts, priority_, harness_->Clock(), harness_->Pump(), localTime_,
                                resetStage, keeper, [](double) {}});
    }
    static std::string Row(int icon, int text, int status = 0)
    {
        return std::to_string(icon) + "|" + Text(text) + "|" + (status ? Text(status) : "");
    }
    bool HasRow(const std::string& row) const
    {
        return std::find(log_.rows.begin(), log_.rows.end(), row) != log_.rows.end();
    }
    // Command frames the program sent; data frames are longer.
    int Sent(std::uint8_t command) const
    {
        return static_cast<int>(std::count_if(harness_->Writes().begin(), harness_->Writes().end(),
                                              [&](const auto& w) { return w.bytes.size() <= 4 && w.bytes[0] == command; }));
    }
    // The code blocks the program began to send (each once however often it
    // was tried), then the closing commands sent.
    std::string Upload() const
    {
        std::set<std::pair<int, int>> blocks;  // command, address
        for (const auto& w : harness_->Writes())
            if (w.bytes.size() == 4 && (w.bytes[0] == 0xB7 || (w.bytes[0] == 0xB5 && w.bytes[1] >= 0x10)))
                blocks.insert({w.bytes[0], w.bytes[1] * 256 + w.bytes[2]});
        std::string sent = std::to_string(blocks.size());
        for (const std::uint8_t command : {0xB6, 0xB8, 0xB9})
            if (Sent(command) > 0) sent += " B" + std::to_string(command - 0xB0);
        return sent;
    }
    // Virtual seconds from the device's answer to the `command` frame to the
    // program's next frame.
    double SilenceAfter(std::uint8_t command) const
    {
        const auto& writes = harness_->Writes();
        const auto sent = std::find_if(writes.begin(), writes.end(),
                                       [&](const auto& w) { return w.bytes.size() <= 4 && w.bytes[0] == command; });
        if (sent == writes.end() || std::next(sent) == writes.end()) return -1;
        const auto& replies = harness_->Replies();
        const auto answer =
            std::find_if(replies.begin(), replies.end(), [&](const auto& r) { return r.time >= sent->time; });
        return answer == replies.end() ? -1 : std::next(sent)->time - answer->time;
    }

    // One folder per test: ctest runs the tests side by side.
    const fs::path folder_ = fs::path(testing::TempDir()) /
                             (std::string("pelora-") + testing::UnitTest::GetInstance()->current_test_info()->name());
    std::unique_ptr<sim::VirtualHarness> harness_;
    std::unique_ptr<pelora::CommModule> link_;
    std::unique_ptr<pelora::ImageState> image_;
    std::unique_ptr<pelora::SavedProfile> profile_;
    std::unique_ptr<pelora::FirmwareUpdate> update_;
    testsupport::RecordingTaskLog log_;
    testsupport::RecordingPriority priority_;
    testsupport::FixedLocalTime localTime_;
    testsupport::ScriptedDialogs dialogs_;  // no box is expected
    int resets_ = 0;
};

constexpr Layout k1 = Layout::Code1Only, k2 = Layout::Code2Only, kBoth = Layout::BothCodes;

// The image holds "1C" revision 5, the oldest code a Code1Only image takes
// is "1A". With a revision setting of 1 to 99 the revision is read before the
// decision and shown with two digits. Per layout, revision setting and device
// code: the device-code row's code when it updates, else why not.
const std::tuple<Layout, int, const char*, int, std::string> kDecisions[] = {
    {k1, 0, "19", 0, "too old"}, {k1, 0, "1A", 0, "1A"}, {k1, 5, "1B", 5, "1B.05"}, {k1, 0, "1C", 0, "up to date"},
    {k1, 5, "1C", 9, "up to date"}, {k1, 0, "1D", 0, "up to date"},
    // Equal revisions update again; a revision not read is 0, so the update runs.
    {k2, 5, "1B", 4, "1B.04"}, {k2, 5, "1B", 5, "1B.05"}, {k2, 5, "1B", 6, "newer"}, {k2, 99, "1B", 6, "newer"},
    {k2, 0, "1B", 9, "1B"}, {k2, 100, "1B", 9, "1B"}, {k2, 0, "19", 0, "19"},
    // Nothing to update only when both the version and the revision are as new.
    {kBoth, 5, "1B", 9, "1B.09"}, {kBoth, 5, "1C", 4, "1C.04"}, {kBoth, 5, "1C", 5, "up to date"},
    {kBoth, 1, "1C", 5, "up to date"}, {kBoth, 5, "1D", 6, "up to date"}, {kBoth, 5, "1D", 4, "1D.04"},
    {kBoth, 0, "1C", 5, "1C"}, {kBoth, 100, "1C", 5, "1C"}, {kBoth, 0, "19", 0, "19"}};

}  // namespace

// Whether code goes out, the rows that say why, and the failure flag of the
// stops that leave the device as it was. The restart waits of an update run on
// the program's clock from the device's answer to the closing command, however
// soon the device is back.
TEST_F(UpdateSequenceTest, TheDeviceCodeDecidesWhetherEachLayoutUpdates)
{
    const std::map<Layout, std::vector<std::pair<std::uint8_t, double>>> restarts = {
        {k1, {{0xB6, 12.0}}}, {k2, {{0xB9, 45.0}}}, {kBoth, {{0xB6, 10.0}, {0xB9, 45.0}}}};
    for (const auto& [layout, setting, version, revision, result] : kDecisions) {
        SCOPED_TRACE(testing::Message() << "layout " << static_cast<int>(layout) << ", setting " << setting
                                        << ", device " << version << "." << revision);
        Start(layout, setting, [&](auto& d) { d.codeVersion = version, d.revision = revision; });
        update_->UpdateFirmware();
        const bool updates = result[0] == '1';
        EXPECT_EQ(Sent(0xB5) + Sent(0xB7) > 0, updates);
        EXPECT_EQ(link_->State().CommFailed, result == "too old" || result == "newer");
        EXPECT_EQ(priority_.classes.back(), pelora::NormalPriorityClass);  // also after a finished update
        ASSERT_GE(log_.rows.size(), 2u);
        EXPECT_TRUE(!updates || log_.rows[1] == "1|Pelora 1D, " + Text(781) + ": " + result + "|") << log_.rows[1];
        EXPECT_EQ(log_.rows.back(), updates               ? Row(1, 1051)
                                    : result == "too old" ? "2|" + Text(783) + "Pelora 1D, " + Text(781) + " 1A " +
                                                                Text(784) + "|"
                                                          : Row(1, 785));
        for (const auto& [closing, seconds] : restarts.at(layout)) {
            const double silence = updates ? SilenceAfter(closing) : seconds;
            EXPECT_TRUE(silence >= seconds && silence < seconds + 1.0) << "after " << int{closing} << ": " << silence;
        }
        EXPECT_EQ(Sent(0x97), updates ? 2 : 0) << "the restore sets the clock";
    }
}

// A revision read in an earlier update of the run says nothing about the
// next device: one whose revision is not read always gets the update. With no
// profile to restore, the clock is set once after new code.
TEST_F(UpdateSequenceTest, EachUpdateStartsWithTheDeviceRevisionUnknown)
{
    Start(Layout::Code2Only, 0, [](auto& d) { d.profileBlocks = 0; });
    harness_->Faults().AfterRestart([](sim::Faults& f) { f.CodeVersion("1C", 9); });
    update_->UpdateFirmware();
    ASSERT_EQ(update_->DeviceCodeRevision, 9);  // read by the verification
    EXPECT_EQ(Sent(0x97), 1);

    harness_->Dev().SetCodeVersion("1B", 0);  // Back, and another device with old code
    profile_->ProfileRestorePending = true;
    update_->UpdateFirmware();
    EXPECT_EQ(log_.rows.back(), Row(1, 1051));
    EXPECT_EQ(harness_->Dev().Revision(), kImageRevision);
}

// A refused block, or a refused region-2 parameter, ends the upload there:
// nothing more of that region, no command that would commit it, no region 2
// after region 1 failed; the failed upload row, and the profile owed.
TEST_F(UpdateSequenceTest, ARefusedFrameEndsTheUploadWithoutCommittingIt)
{
    const std::tuple<Layout, sim::FrameTag, const char*, int> cases[] = {  // blocks begun, closings; failing row
        {Layout::Code1Only, sim::DataFrame(0xB5), "2", 787}, {Layout::Code2Only, sim::DataFrame(0xB7), "2", 787},
        {Layout::BothCodes, sim::DataFrame(0xB5), "2", 788}, {Layout::BothCodes, sim::DataFrame(0xB7), "5 B6", 789},
        {Layout::Code2Only, 0xB8, "3 B8", 787},               {Layout::BothCodes, 0xB8, "6 B6 B8", 789}};
    for (const auto& [layout, refused, upload, row] : cases) {
        SCOPED_TRACE(testing::Message() << "layout " << static_cast<int>(layout) << ", refused " << refused);
        Start(layout);
        harness_->Faults().Reject(refused, 1000, refused == 0xB8 ? 0 : 1);  // blocks: the second
        update_->UpdateFirmware();
        EXPECT_EQ(Upload(), upload);
        const auto failed = std::find(log_.rows.begin(), log_.rows.end(), Row(0, row, 280));
        ASSERT_TRUE(failed != log_.rows.end() && std::next(failed) != log_.rows.end());
        EXPECT_EQ(std::vector<std::string>(std::next(failed), std::next(failed, 3)), (std::vector{Row(2, 790), Row(2, 814)}));
        EXPECT_FALSE(HasRow(Row(1, 786)) || profile_->ProfileSafe);
    }
}

// Every other way the update stops short: its last rows (after 814, where the
// profile is and what to do next), and the stage reset
// (normal priority, Back on). New code the device does not report after its
// restart is no finished update: the version for region 1, the revision for
// region 2, both when both went.
TEST_F(UpdateSequenceTest, EveryEarlyStopEndsWithItsRowAndResetsTheStage)
{
    const auto reports = [this](const char* version, int revision, int restarts) {
        const std::function<void(sim::Faults&)> report = [=](sim::Faults& f) { f.CodeVersion(version, revision); };
        harness_->Faults().AfterRestart(restarts == 1 ? report : [report](sim::Faults& f) { f.AfterRestart(report); });
    };
    const std::vector<std::string> kept{Row(1, 815), Row(1, 1052)}, restored{Row(1, 1013), Row(1, 1053)};
    const std::tuple<const char*, Layout, Configure, std::function<void()>, std::vector<std::string>> cases[] = {
        {"no answer at the identification", Layout::Code1Only, {}, [this] { harness_->Faults().UnplugAt(0); },
         {Row(2, 150)}},
        {"another model", Layout::Code1Only, [](auto& d) { d.modelKey = "NAVIX"; }, {},
         {"2|" + Text(783) + " Pelora 1D!|"}},
        {"upload failed", Layout::Code1Only, {}, [this] { harness_->Faults().Reject(0xB6, 1000); }, kept},
        {"upload failed, no profile owed", Layout::Code1Only, {},
         [this] { profile_->ProfileRestorePending = false, harness_->Faults().Reject(0xB6, 1000); },
         {Row(2, 814), Row(1, 1053)}},
        {"no answer between the regions", Layout::BothCodes, {}, [this] { harness_->Faults().NoReturnFromRestart(); },
         kept},
        {"no answer after the restart", Layout::Code1Only, {}, [this] { harness_->Faults().NoReturnFromRestart(); },
         kept},
        {"another model after the restart", Layout::Code2Only, {},
         [this] { harness_->Faults().AfterRestart([](auto& f) { f.AnotherModel("NAVIX"); }); }, kept},
        {"the port refuses to send after the upload", Layout::Code1Only, {},
         [this] { harness_->SetIdleHook([this] { if (Sent(0xB6)) harness_->RefuseWritesFrom(harness_->Now()); }); },
         kept},
        {"version old after the restart", Layout::Code1Only, {}, [&] { reports("1B", 5, 1); }, restored},
        {"revision old after the restart", Layout::Code2Only, {}, [&] { reports("1C", 4, 1); }, restored},
        {"version old after both restarts", Layout::BothCodes, {}, [&] { reports("1B", 5, 2); }, restored},
        {"revision old after both restarts", Layout::BothCodes, {}, [&] { reports("1C", 4, 2); }, restored},
    };
    for (const auto& [name, layout, configure, arrange, lastRows] : cases) {
        SCOPED_TRACE(name);
        Start(layout, 5, configure);
        if (arrange) arrange();
        update_->UpdateFirmware();
        ASSERT_GE(log_.rows.size(), lastRows.size());
        EXPECT_EQ(std::vector<std::string>(log_.rows.end() - static_cast<std::ptrdiff_t>(lastRows.size()), log_.rows.end()),
                  lastRows);
        EXPECT_FALSE(HasRow(Row(1, 786)));
        EXPECT_GE(resets_, 1);
        ASSERT_FALSE(priority_.classes.empty());
        EXPECT_EQ(priority_.classes.front(), pelora::HighPriorityClass);
        EXPECT_EQ(priority_.classes.back(), pelora::NormalPriorityClass);
    }
}
