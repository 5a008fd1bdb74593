// Backup, restore and recovery of the diver's profile against the emulated
// device on the virtual clock, with the real language database.

#include "link/CommModule.h"
#include "platform/StringTable.h"
#include "profile/BackupFile.h"
#include "profile/ProfileKeeper.h"
#include "profile/ProfileTexts.h"
#include "sim/Memory.h"
#include "sim/VirtualHarness.h"
#include "support/Fakes.h"
#include "texts/LanguageDb.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>

namespace {

namespace fs = std::filesystem;
using Icon = pelora::Dialogs::Icon;
using Buttons = pelora::Dialogs::Buttons;
using Answer = pelora::Dialogs::Answer;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kFileName = "513.004711.bin";
constexpr const char* kStamp = "20260305-140709";

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = fs::temp_directory_path() / ("profiletest-" + std::to_string(::getpid()) + "-" + test->name());
        fs::remove_all(root_);
        folders_ = {root_ / "program", root_ / "user"};
        fs::create_directories(folders_.Program);
        texts_.OpenLanguageDb(PELORA_BIN_DIR "/FirmwareUpdate.lng", pelora::LoadString(pelora::LanguageDbPassword), 1);
        MakeDevice();
    }
    void TearDown() override
    {
        EXPECT_TRUE(dialogs_.Finished()) << "a scripted message box was never shown";
        link_.reset();
        harness_.reset();
        fs::remove_all(root_);
    }

    // A new device on the line; the saved profile stays, as in a real run.
    void MakeDevice(sim::DeviceConfig config = {})
    {
        link_.reset();
        memorySize_ = config.memorySize;
        harness_ = std::make_unique<sim::VirtualHarness>(config);
        link_ = std::make_unique<pelora::CommModule>(harness_->Port(), harness_->Clock(), harness_->Pump());
        std::string error;
        ASSERT_TRUE(harness_->Port().Open(&error)) << error;
        link_->State().ResizeReceiveBuffers(static_cast<std::size_t>(memorySize_) * 136 + 2);
    }

    pelora::ProfileKeeper Keeper()
    {
        pelora::ProfileSeams seams{*link_, log_, dialogs_, texts_, priority_, time_, folders_, [this] { ++resets_; }};
        return pelora::ProfileKeeper(saved_, seams, {513, memorySize_});
    }

    std::string Text(int id) const { return texts_.GetText(id); }
    std::string Row(int icon, const std::string& event, const std::string& status = "") const
    {
        return std::to_string(icon) + "|" + event + "|" + status;
    }
    Bytes& Memory() { return harness_->Dev().Memory(); }
    void SetPointers(std::array<std::uint8_t, 4> bytes) { std::copy(bytes.begin(), bytes.end(), Memory().begin() + 72); }
    // What new code leaves: an empty header record and an erased profile area.
    void WipeProfile() { sim::ClearLogbook(Memory(), memorySize_); }
    // Block addresses read, each counted once (a resent read is one block).
    std::size_t BlocksRead() const
    {
        std::set<int> addresses;
        for (const auto& frame : harness_->Frames())
            if (frame.bytes.size() == 4 && frame.bytes[0] == 0xB4) addresses.insert(frame.bytes[1] * 256 + frame.bytes[2]);
        return addresses.size();
    }
    int Frames(std::uint8_t command, std::size_t size = 4) const
    {
        int count = 0;
        for (const auto& frame : harness_->Frames()) count += frame.bytes.size() == size && frame.bytes[0] == command;
        return count;
    }
    fs::path Backup() const { return folders_.Program / kFileName; }
    Bytes FileBytes(const fs::path& path) const
    {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    // The file holds the device's header and, row by row, its blocks from unit 16.
    void ExpectFileHoldsDeviceProfile(const fs::path& path, int blocks, const Bytes& memory)
    {
        const auto file = pelora::ReadBackupFile(path, memorySize_);
        ASSERT_TRUE(file.Valid()) << file.Detail;
        EXPECT_EQ(file.Area.BlockCount, blocks);
        EXPECT_TRUE(std::equal(memory.begin() + 64, memory.begin() + 80, file.Content->ProfileHeader.begin()));
        for (int i = 1; i <= blocks; ++i)
            for (int k = 0; k < 128; ++k)
                ASSERT_EQ(file.Content->ProfileBlocks.Block(i)[k + 1], memory[(16 + 8 * (i - 1)) * 16 + k])
                    << "block " << i << " byte " << k;
    }
    // A backup of the default device, then new code erases its profile.
    Bytes BackupThenNewCode()
    {
        const Bytes original = Memory();
        Keeper().BackupProfile();
        EXPECT_TRUE(fs::exists(Backup()));
        WipeProfile();
        saved_.ProfileSafe = false;
        log_.rows.clear();
        return original;
    }

    fs::path root_;
    pelora::BackupFolders folders_;
    int memorySize_ = 512;
    std::unique_ptr<sim::VirtualHarness> harness_;
    std::unique_ptr<pelora::CommModule> link_;
    pelora::LanguageDb texts_;
    pelora::SavedProfile saved_;
    testsupport::RecordingTaskLog log_;
    testsupport::ScriptedDialogs dialogs_;
    testsupport::RecordingPriority priority_;
    testsupport::FixedLocalTime time_;
    int resets_ = 0;
};

// The pointers decide what is saved: nothing for equal pointers, the blocks
// from unit 16 to the end pointer's block otherwise, up to the top of memory
// when the end pointer has wrapped.
TEST_F(ProfileTest, BackupSavesExactlyTheBlocksThePointersCallFor)
{
    struct Case { const char* name; int memorySize; bool wrapped; std::optional<std::array<std::uint8_t, 4>> pointers; int blocks; };
    const Case cases[] = {
        {"512: 16 to 596", 512, false, {{0x00, 0x01, 0x40, 0x25}}, 73},
        {"1024: 16 to 300", 1024, false, {{0x10, 0x00, 0x2C, 0x01}}, 36},
        {"512 wrapped", 512, true, {}, 506},
        {"1024 wrapped", 1024, true, {}, 1018},
        {"end below unit 16", 512, false, {{0x50, 0x00, 0xA0, 0x00}}, 0},
        {"end in the first block", 512, false, {{0x00, 0x01, 0x70, 0x01}}, 1},
        {"equal pointers", 512, false, {{0x00, 0x01, 0x00, 0x01}}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(Backup());
        log_.rows.clear();
        sim::DeviceConfig config;
        config.memorySize = c.memorySize;
        config.wrappedProfile = c.wrapped;
        MakeDevice(config);
        if (c.pointers) SetPointers(*c.pointers);
        Keeper().BackupProfile();

        EXPECT_FALSE(link_->State().CommFailed);
        EXPECT_EQ(Frames(0xB4), 1 + std::max(c.blocks, 0));
        EXPECT_EQ(saved_.ProfileRestorePending, c.blocks >= 0);
        if (c.blocks < 0) {
            EXPECT_TRUE(log_.rows.empty());
            EXPECT_FALSE(fs::exists(Backup()));
            continue;
        }
        EXPECT_EQ(log_.rows, std::vector<std::string>{Row(0, "Backup dive computer profile", Text(777))});
        EXPECT_EQ(saved_.ProfileBlockCount, c.blocks);
        ExpectFileHoldsDeviceProfile(Backup(), c.blocks, Memory());
    }
}

// The promise at the heart of the program: saved, erased by new code,
// written back, and the device holds its profile byte for byte again.
TEST_F(ProfileTest, RoundTripRestoresTheDeviceByteForByte)
{
    for (const int memorySize : {512, 1024}) {
        SCOPED_TRACE(memorySize);
        sim::DeviceConfig config;
        config.memorySize = memorySize;
        config.wrappedProfile = memorySize == 512;
        config.profileBlocks = 300;
        MakeDevice(config);
        const Bytes original = BackupThenNewCode();
        Keeper().RestoreProfile();

        EXPECT_TRUE(Memory() == original) << "the device's memory differs from before the update";
        EXPECT_TRUE(saved_.ProfileSafe);
        EXPECT_FALSE(fs::exists(Backup()));
        EXPECT_EQ(log_.rows, std::vector<std::string>{Row(0, Text(796), Text(777))});
        EXPECT_EQ(Frames(0x97, 2), 2);
        const auto clock = harness_->Dev().Clock();
        ASSERT_TRUE(clock.has_value());
        EXPECT_EQ(std::vector<int>({clock->year, clock->month, clock->day, clock->hour, clock->minute, clock->second,
                                    clock->flag}),
                  std::vector<int>({26, 3, 5, 14, 7, 9, 233}));
    }
    EXPECT_EQ(pelora::ClockTexts(2026, 3, 5, 14, 7, 9), std::make_pair(std::string("03/05/26"), std::string("14:07:09")));
}

// A file found for the device is used as it is: only block 0 is read, the
// file is not rewritten, and the caller's row gets the status.
TEST_F(ProfileTest, AValidBackupFileOfTheDeviceIsUsedWithoutReadingTheDevice)
{
    const Bytes original = BackupThenNewCode();
    const Bytes file = FileBytes(Backup());
    MakeDevice();
    WipeProfile();
    log_.rows = {Row(0, "caller")};
    Keeper().BackupProfile();
    EXPECT_EQ(Frames(0xB4), 1);
    EXPECT_EQ(FileBytes(Backup()), file);
    EXPECT_EQ(log_.rows, std::vector<std::string>{Row(0, "caller", Text(777))});
    Keeper().RestoreProfile();
    EXPECT_TRUE(Memory() == original);
}

// A damaged file, or one whose digits are another device's, is never sent
// and never destroyed: it is renamed aside and the device is read instead.
TEST_F(ProfileTest, DamagedBackupFilesAreSetAsideAndTheDeviceIsRead)
{
    const std::pair<const char*, std::function<void(Bytes&)>> damages[] = {
        {"truncated", [](Bytes& b) { b.resize(1000); }},
        {"header sum", [](Bytes& b) { b[16] ^= 1; }},
        {"another device's digits", [](Bytes& b) { b[17 + 5] = 9; }},
        {"block check byte", [](Bytes& b) { b[34 + 2 * (2 + 1024 * 129)] ^= 1; }},
        {"byte beyond 255", [](Bytes& b) { b[34 + 2 * (0 + 1024 * 7) + 1] = 1; }},
    };
    for (const auto& [name, damage] : damages) {
        SCOPED_TRACE(name);
        fs::remove_all(folders_.Program);
        fs::create_directories(folders_.Program);
        MakeDevice();
        Keeper().BackupProfile();
        Bytes bytes = FileBytes(Backup());
        damage(bytes);
        std::ofstream(Backup(), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        log_.rows.clear();
        MakeDevice();
        Keeper().BackupProfile();

        const auto aside = folders_.Program / (std::string(kFileName) + ".damaged-" + kStamp);
        EXPECT_EQ(FileBytes(aside), bytes);
        EXPECT_EQ(log_.rows, (std::vector<std::string>{
                                 Row(2, pelora::profiletext::WithArgument(Text(1001), aside.filename().string())),
                                 Row(0, "Backup dive computer profile", Text(777))}));
        EXPECT_EQ(Frames(0xB4), 41);
        ExpectFileHoldsDeviceProfile(Backup(), 40, Memory());
    }
}

// A backup left by a run that stopped before its code went in must not
// silently overwrite dives logged since: the diver decides, and keeping the
// device's profile (the default) keeps the old file in the archive.
TEST_F(ProfileTest, AStaleBackupIsUsedOnlyWhenTheDiverSaysSo)
{
    for (const Answer answer : {Answer::Yes, Answer::No}) {
        SCOPED_TRACE(answer == Answer::Yes ? "keep the device's profile" : "use the file");
        fs::remove_all(root_);
        fs::create_directories(folders_.Program);
        MakeDevice();
        Keeper().BackupProfile();
        const Bytes oldFile = FileBytes(Backup());
        SetPointers({0x00, 0x01, 0x70, 0x15});  // a dive logged since: one block more
        dialogs_.Expect({Icon::Question, Buttons::YesNo, Text(817), "", answer});
        log_.rows.clear();
        Keeper().BackupProfile();

        EXPECT_NE(dialogs_.shownTexts.back().find("2026-"), std::string::npos) << "the box gives the file's date";
        if (answer == Answer::No) {
            EXPECT_EQ(Frames(0xB4), 42);  // the first backup and block 0
            EXPECT_EQ(saved_.ProfileBlockCount, 40);
            EXPECT_EQ(FileBytes(Backup()), oldFile);
            continue;
        }
        const auto archived = folders_.Program / "archive" / (std::string("513.004711.") + kStamp + ".bin");
        EXPECT_EQ(FileBytes(archived), oldFile);
        EXPECT_EQ(saved_.ProfileBlockCount, 41);
        ExpectFileHoldsDeviceProfile(Backup(), 41, Memory());
    }
}

// Every way a backup can fail stops before any code would go: CommFailed,
// status 280 with its error row, the stage reset, and no file.
TEST_F(ProfileTest, AFailedBackupWritesNoFileAndSaysWhy)
{
    struct Case {
        const char* name;
        std::function<void()> arrange;
        int errorText;
        std::size_t blockReads;
    };
    const Case cases[] = {
        {"block read fails", [&] { harness_->Faults().Reject(0xB4, 1000, 5); }, 797, 6},
        {"more than 1024 blocks", [&] { SetPointers({0x10, 0x00, 0x28, 0x23}); }, 1002, 1},
        {"no folder writable", [&] {
             fs::remove_all(folders_.Program);
             std::ofstream(folders_.Program) << "a file where the folder should be";
             folders_.User = folders_.Program / "user";
             dialogs_.Expect({Icon::Stop, Buttons::Ok, Text(280), "", Answer::Ok});
         }, 797, 41},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::DeviceConfig config;
        config.memorySize = c.errorText == 1002 ? 1024 : 512;
        MakeDevice(config);
        log_.rows.clear();
        resets_ = 0;
        c.arrange();
        Keeper().BackupProfile();

        EXPECT_TRUE(link_->State().CommFailed);
        EXPECT_TRUE(saved_.ProfileRestorePending);
        EXPECT_EQ(resets_, 1);
        EXPECT_EQ(BlocksRead(), c.blockReads);
        EXPECT_EQ(log_.rows, (std::vector<std::string>{Row(0, "Backup dive computer profile", Text(280)),
                                                       Row(2, Text(c.errorText))}));
        EXPECT_FALSE(fs::is_regular_file(Backup()));
    }
    const std::string box = dialogs_.shownTexts.back();
    EXPECT_NE(box.find(folders_.Program.string() + ": "), std::string::npos) << box;
    EXPECT_NE(box.find(folders_.User.string() + ": "), std::string::npos) << box;
}

// A program folder the program may not write to sends the backup to the
// user's own folder, where the next look-up finds it.
TEST_F(ProfileTest, AnUnwritableProgramFolderSendsTheBackupToTheUserFolder)
{
    fs::remove_all(folders_.Program);
    std::ofstream(folders_.Program) << "not a folder";
    Keeper().BackupProfile();
    EXPECT_EQ(saved_.BackupFilePath, (folders_.User / kFileName).string());
    ExpectFileHoldsDeviceProfile(folders_.User / kFileName, 40, Memory());
    MakeDevice();
    Keeper().BackupProfile();
    EXPECT_EQ(Frames(0xB4), 1);
}

// A restore counts as done only when every block and the header record went
// in and block 0 really came back with the header; otherwise the file stays
// for the recovery. The clock is set in every outcome.
TEST_F(ProfileTest, AFailedRestoreKeepsTheFileAndSaysWhy)
{
    struct Case { const char* name; std::function<void()> arrange; int errorText; int writtenBlocks; };
    const Case cases[] = {
        {"block 3 refused", [&] { harness_->Faults().Reject(sim::DataFrame(0xB5), 1000, 2); }, 790, 2},
        {"header record refused", [&] { harness_->Faults().Reject(0xB2, 1000); }, 816, 40},
        {"read-back fails", [&] { harness_->Faults().Reject(0xB4, 1000); }, 816, 40},
        {"header reads back different", [&] { harness_->Faults().BadCell(64 + 9, 0x01); }, 816, 40},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MakeDevice();
        const Bytes original = BackupThenNewCode();
        resets_ = 0;
        c.arrange();
        Keeper().RestoreProfile();

        EXPECT_FALSE(saved_.ProfileSafe);
        EXPECT_TRUE(fs::exists(Backup()));
        EXPECT_EQ(resets_, 1);
        EXPECT_EQ(log_.rows, (std::vector<std::string>{Row(0, Text(796), Text(280)), Row(2, Text(c.errorText))}));
        const auto firstUnwritten = original.begin() + (16 + 8 * c.writtenBlocks) * 16;
        EXPECT_TRUE(std::equal(original.begin() + 256, firstUnwritten, Memory().begin() + 256));
        if (c.writtenBlocks < 40) {
            EXPECT_EQ(Memory()[(16 + 8 * c.writtenBlocks) * 16], 0xFF) << "block " << c.writtenBlocks + 1;
        }
        EXPECT_EQ(Frames(0x97, 2), 2);
    }
}

// The recovery at close: the diver may decline (the file goes to the
// archive), retry while the device is away, or connect another device.
TEST_F(ProfileTest, RecoveryRestoresDeclinesOrRetriesAsTheDiverAnswers)
{
    const fs::path archived = folders_.Program / "archive" / (std::string("513.004711.") + kStamp + ".bin");
    struct Case {
        const char* name;
        std::vector<Answer> answers;
        std::function<void()> arrange;
        bool restored;
        bool archived;
        std::vector<std::int32_t> priorities;
    };
    const Case cases[] = {
        {"No", {Answer::No}, [] {}, false, true, {}},
        {"Yes, Cancel", {Answer::Yes, Answer::Cancel}, [] {}, false, true, {}},
        {"OK with the device", {Answer::Yes, Answer::Ok}, [] {}, true, false, {128}},
        {"OK while silent, then OK", {Answer::Yes, Answer::Ok, Answer::Ok},
         [&] { harness_->Faults().UnplugAt(harness_->Now(), 30); }, true, false, {128, 32, 128}},
        {"OK but block 0 fails, then OK", {Answer::Yes, Answer::Ok, Answer::Ok},
         [&] { harness_->Faults().Reject(0xB4, 4); }, true, false, {128, 32, 128}},
        {"another device", {Answer::Yes, Answer::Ok},
         [&] {
             sim::DeviceConfig other;
             other.serialNumber = 999;
             MakeDevice(other);
         }, false, false, {128}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(folders_.Program);
        fs::create_directories(folders_.Program);
        MakeDevice();
        const Bytes original = BackupThenNewCode();
        const Bytes file = FileBytes(Backup());
        priority_.classes.clear();
        c.arrange();
        const Bytes before = Memory();
        const auto sent = harness_->Writes().size();
        for (std::size_t i = 0; i < c.answers.size(); ++i) {
            const bool question = i == 0;
            dialogs_.Expect({question ? Icon::Exclamation : Icon::Information,
                             question ? Buttons::YesNo : Buttons::OkCancel, Text(817), question ? Text(818) : "",
                             c.answers[i]});
        }
        Keeper().ProfileRecovering();

        EXPECT_EQ(priority_.classes, c.priorities);
        EXPECT_TRUE(c.restored ? Memory() == original : Memory() == before);
        EXPECT_EQ(saved_.ProfileSafe, c.name != std::string("No"));
        EXPECT_EQ(fs::exists(archived), c.archived);
        EXPECT_TRUE(!c.archived || FileBytes(archived) == file);
        EXPECT_EQ(fs::exists(Backup()), !c.restored && !c.archived);
        if (c.answers.size() == 1) {
            EXPECT_EQ(harness_->Writes().size(), sent) << "nothing is sent after No";
        } else {
            EXPECT_EQ(Frames(0xA8, 3), 1) << "the recovery ends with the sleep-mode command";
        }
    }
    const std::string instructions = dialogs_.shownTexts[2];  // the first after the second case's question
    EXPECT_EQ(instructions, "1. " + Text(640) + "\r\n2. " + Text(654) + "\r\n3. " + Text(804) + "\r\n" + Text(805) +
                                "\r\n" + Text(806) + "\r\n" + Text(807) + "\r\n\r\n4. " + Text(808) + "\r\n5. " +
                                Text(809) + "\r\n6. " + Text(819) + "\r\n");
}

}  // namespace
