// Backup, restore and the recovery at close against the emulated device on
// the virtual clock, with the real language database, in backup folders
// whose names are not ASCII.

#include "ProfileFiles.h"

#include "link/CommModule.h"
#include "profile/ProfileKeeper.h"
#include "profile/ProfileTexts.h"
#include "sim/Memory.h"
#include "sim/VirtualHarness.h"
#include "support/Fakes.h"
#include "support/TestTexts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <set>

namespace {

using namespace profiletest;

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::remove_all(root_);
        fs::create_directories(folders_.Program);
        MakeDevice();
    }
    void TearDown() override
    {
        EXPECT_TRUE(dialogs_.Finished()) << "a scripted message box was never shown";
        fs::remove_all(root_);
    }

    // A new device on the line; the saved profile stays, as in a real run.
    void MakeDevice(int memorySize = 512, bool wrapped = false, int blocks = 40, int serial = 4711)
    {
        link_.reset();
        sim::DeviceConfig config;
        config.memorySize = memorySize_ = memorySize;
        config.wrappedProfile = wrapped, config.profileBlocks = blocks, config.serialNumber = serial;
        harness_ = std::make_unique<sim::VirtualHarness>(config);
        link_ = std::make_unique<CommModule>(harness_->Port(), harness_->Clock(), harness_->Pump());
        std::string error;
        ASSERT_TRUE(harness_->Port().Open(&error)) << error;
        link_->State().ResizeReceiveBuffers(static_cast<std::size_t>(memorySize_) * 136 + 2);
        log_.rows.clear();
    }
    ProfileKeeper Keeper()
    {
        ProfileSeams seams{*link_, log_, dialogs_, texts_, priority_, time_, folders_, [this] { ++resets_; },
                           [this] { return harness_->Port().IsOpen() || harness_->Port().Open(nullptr); }};
        return ProfileKeeper(saved_, seams, {513, memorySize_});
    }
    std::string Text(int id) const { return texts_.GetText(id); }
    Bytes& Memory() { return harness_->Dev().Memory(); }
    void SetPointers(std::array<std::uint8_t, 4> bytes) { std::copy(bytes.begin(), bytes.end(), Memory().begin() + 72); }
    void MakeFolderAFile(const fs::path& folder) { fs::remove_all(folder), std::ofstream(folder) << "not a folder"; }
    // Frames of `command` with `size` bytes; with `distinct`, how many addresses they name.
    int Frames(std::uint8_t command, std::size_t size = 4, bool distinct = false) const
    {
        std::set<int> addresses;
        int count = 0;
        for (const auto& frame : harness_->Frames())
            if (frame.bytes.size() == size && frame.bytes[0] == command) {
                ++count;
                if (distinct) addresses.insert(frame.bytes[1] * 256 + frame.bytes[2]);
            }
        return distinct ? static_cast<int>(addresses.size()) : count;
    }
    fs::path Backup() const { return folders_.Program / kFileName; }
    // A backup, then new code erases the device's profile.
    Bytes BackupThenNewCode()
    {
        const Bytes original = Memory();
        Keeper().BackupProfile();
        EXPECT_TRUE(fs::exists(Backup()));
        sim::ClearLogbook(Memory(), memorySize_);
        saved_.ProfileSafe = false;
        log_.rows.clear();
        return original;
    }

    fs::path root_ = TestFolder("profiletest");
    BackupFolders folders_{root_ / "program", root_ / "user"};
    int memorySize_ = 512;
    std::unique_ptr<sim::VirtualHarness> harness_;
    std::unique_ptr<CommModule> link_;
    const pelora::TextSource& texts_ = testsupport::EnglishTexts();
    SavedProfile saved_;
    testsupport::RecordingTaskLog log_;
    testsupport::ScriptedDialogs dialogs_;
    testsupport::RecordingPriority priority_;
    testsupport::FixedLocalTime time_;
    int resets_ = 0;
};

// The pointers decide what is saved: nothing for equal pointers, the blocks
// from unit 16 to the end pointer's block otherwise, up to the top of memory
// when the end pointer has wrapped. New code erases them; written back, the
// device holds its profile byte for byte again: at once from the saved
// profile, or in a later run from the file alone (in the user's folder when
// the program's takes none), used without reading the device's blocks.
TEST_F(ProfileTest, BackupAndRestoreGiveTheDeviceItsProfileByteForByte)
{
    using Pointers = std::optional<std::array<std::uint8_t, 4>>;
    // Every block is read until two reads agree; `fault` changes replies on
    // the line, which costs `rereads` more reads.
    struct Case { int memorySize; bool wrapped; Pointers pointers; int blocks; bool laterRun; const char* fault = "";
                  int rereads = 0; };
    const Case cases[] = {
        {512, false, {{0x00, 0x01, 0x40, 0x25}}, 73, false},  // units 16 to 596
        {512, false, {{0x00, 0x01, 0x40, 0x25}}, 73, false, "corrupt:B4,1,at=70", 1},  // block 0's header record
        {512, false, {{0x00, 0x01, 0x40, 0x25}}, 73, false, "corrupt:B4,1,skip=1,at=70", 2},  // ...in its 2nd read
        {512, false, {{0x00, 0x01, 0x40, 0x25}}, 73, false, "corrupt:B4,1,skip=2,at=-1", 1},  // a logbook block
        {1024, false, {{0x10, 0x00, 0x2C, 0x01}}, 36, true},  // units 16 to 300
        {512, true, {}, 506, true},
        {1024, true, {}, 1018, false},
        {512, false, {{0x50, 0x00, 0xA0, 0x00}}, 0, true},    // end below unit 16
        {512, false, {{0x00, 0x01, 0x70, 0x01}}, 1, false},   // end in the first block
        {512, false, {{0x00, 0x01, 0x00, 0x01}}, -1, false},  // equal pointers: nothing to save
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.memorySize << ", " << c.blocks << " blocks");
        SetUp();
        if (c.laterRun) MakeFolderAFile(folders_.Program);
        const fs::path file = (c.laterRun ? folders_.User : folders_.Program) / kFileName;
        const auto newDevice = [&] { MakeDevice(c.memorySize, c.wrapped, c.wrapped ? 300 : std::max(c.blocks, 0)); };
        newDevice();
        if (c.pointers) SetPointers(*c.pointers);
        const Bytes original = Memory();
        if (*c.fault) { EXPECT_TRUE(harness_->Faults().Apply(c.fault)); }
        Keeper().BackupProfile();

        EXPECT_EQ(Frames(0xB4), 2 * (1 + std::max(c.blocks, 0)) + c.rereads);
        EXPECT_EQ(saved_.ProfileRestorePending, c.blocks >= 0);
        EXPECT_EQ(log_.rows, c.blocks < 0 ? Rows{} : Rows{Row(0, kBackupRow, Text(777))});
        ASSERT_EQ(fs::exists(file), c.blocks >= 0);
        if (c.blocks < 0) continue;
        sim::ClearLogbook(Memory(), memorySize_);
        saved_.ProfileSafe = false;
        if (c.laterRun) {
            const Bytes written = FileBytes(file);
            saved_ = {};
            newDevice();
            sim::ClearLogbook(Memory(), memorySize_);
            log_.rows = {Row(0, "caller")};
            Keeper().BackupProfile();
            EXPECT_EQ(Frames(0xB4), 2);
            EXPECT_EQ(FileBytes(file), written);
            EXPECT_EQ(log_.rows, Rows{Row(0, "caller", Text(777))});
        }
        log_.rows.clear();
        const Bytes saved = FileBytes(file);
        Keeper().RestoreProfile();

        EXPECT_TRUE(Memory() == original) << "the device's memory differs from before the update";
        EXPECT_TRUE(saved_.ProfileSafe);
        EXPECT_FALSE(fs::exists(file));
        EXPECT_EQ(FileBytes(file.parent_path() / "archive/513.004711.restored-20260305-140709.bin"), saved)
            << "a copy of the restored file is kept";
        EXPECT_EQ(log_.rows, Rows{Row(0, Text(796), Text(777))});
        EXPECT_EQ(Frames(0x97, 2), 2);
        const auto clock = harness_->Dev().Clock();
        ASSERT_TRUE(clock.has_value());
        EXPECT_EQ(std::tuple(clock->year, clock->month, clock->day, clock->hour, clock->minute, clock->second, clock->flag),
                  std::tuple(26, 3, 5, 14, 7, 9, 233));
    }
}

// A backup file is found by the serial number's six-digit form, whatever
// nibbles the device holds, and a good file is found whichever folder holds
// it: one that equals the device's header record first, else the newer. A
// damaged file (undecodable, or with a bad block) or one whose digits are
// another device's is never sent and never destroyed: it is renamed aside,
// and the device is read instead. Each case ends with a look-up that must
// use the good file as it is.
TEST_F(ProfileTest, TheGoodBackupIsFoundInEitherFolder)
{
    const fs::path program = folders_.Program / kFileName, user = folders_.User / kFileName;
    const auto aside = folders_.Program / (std::string(kFileName) + ".damaged-20260305-140709");
    const auto damage = [&](std::function<void(Bytes&)> change) {
        return [&, change] { Bytes bytes = FileBytes(program); change(bytes); WriteBytes(program, bytes); };
    };
    struct Case { const char* name; std::function<void()> arrange; fs::path used; bool aside = false;
                  const char* question = nullptr; };
    const Case cases[] = {
        {"truncated", damage([](Bytes& b) { b.resize(1000); }), program, true},
        {"another device's digits", damage([](Bytes& b) { b[17 + 5] = 9; }), program, true},
        {"block check byte", damage([](Bytes& b) { b[34 + 2 * (2 + 1024 * 129)] ^= 1; }), program, true},
        {"serial nibbles above 9", [&] {
             std::copy_n(std::array<std::uint8_t, 3>{0x9F, 0xAB, 0xFF}.begin(), 3, Memory().begin() + 10);
         }, folders_.Program / "513.061265.bin"},
        {"damaged in the program's folder", [&] {
             fs::rename(program, user);
             Bytes bytes = GoodFile();
             WriteBytes(program, Bytes(bytes.begin(), bytes.begin() + 99));
         }, user, true},
        {"no profile in the program's folder", [&] {
             fs::copy_file(program, user);
             Bytes bytes = FileBytes(program);
             Repoint(bytes, {0x00, 0x01, 0x00, 0x01});
             WriteBytes(program, bytes);
         }, user},
        {"the user's equals the device, though older", [&] {
             fs::rename(program, root_ / "other");
             SetPointers({0x00, 0x01, 0x70, 0x15});
             Keeper().BackupProfile();
             fs::rename(program, user);
             fs::rename(root_ / "other", program);
             fs::last_write_time(user, fs::last_write_time(program) - std::chrono::hours(48));
         }, user},
        {"neither equals the device: the newer is offered", [&] {
             fs::copy_file(program, user);
             fs::last_write_time(program, fs::last_write_time(user) - std::chrono::hours(48));
             SetPointers({0x00, 0x01, 0x70, 0x15});
         }, user, false, "Answer No"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        fs::create_directories(folders_.User);
        Keeper().BackupProfile();
        c.arrange();
        if (c.question) {
            const std::string date = ReadableStamp(*FileModifiedTime(c.used));
            for (int asked = 0; asked < 2; ++asked) dialogs_.Expect({Icon::Question, Buttons::YesNo, Text(817), "", Answer::No});
            Keeper().BackupProfile();
            EXPECT_NE(dialogs_.shownTexts.back().find(date), std::string::npos);
        } else {
            Keeper().BackupProfile();  // finds the good file, or writes it
        }
        EXPECT_EQ(fs::exists(aside), c.aside);
        const std::string asideRow = Row(2, profiletext::WithArgument(Text(1001), aside.filename().string()));
        EXPECT_EQ(std::ranges::count_if(log_.rows, [&](const std::string& row) { return row.starts_with(asideRow); }),
                  c.aside);
        const Bytes good = FileBytes(c.used);
        const int reads = Frames(0xB4);
        Keeper().BackupProfile();
        EXPECT_EQ(Frames(0xB4) - reads, 2) << "only block 0 is read: the file is used";
        EXPECT_EQ(saved_.BackupFilePath, Utf8Of(c.used));
        EXPECT_EQ(FileBytes(c.used), good);
    }
}

// A backup left by a run that stopped before its code went in must not
// silently overwrite dives logged since: the diver decides, and keeping the
// device's profile keeps the old file in the archive, or stops the backup
// when the archive cannot take it.
TEST_F(ProfileTest, AStaleBackupIsUsedOnlyWhenTheDiverSaysSo)
{
    Keeper().BackupProfile();
    const Bytes oldFile = FileBytes(Backup());
    const auto archived = folders_.Program / kArchived;
    SetPointers({0x00, 0x01, 0x70, 0x15});  // a dive logged since: one block more
    // Esc keeps the device's profile (No, using the file, is in the table of which file is used).
    dialogs_.Expect({Icon::Question, Buttons::YesNo, Text(817), "", Answer::No, true});
    Keeper().BackupProfile();
    EXPECT_EQ(FileBytes(archived), oldFile);
    const auto fresh = ReadBackupFile(Backup(), 512);
    EXPECT_TRUE(fresh.Valid() && fresh.Area.BlockCount == 41) << fresh.Detail;

    MakeFolderAFile(archived.parent_path());
    SetPointers({0x00, 0x01, 0x80, 0x15});
    const Bytes kept = FileBytes(Backup());
    dialogs_.Expect({Icon::Question, Buttons::YesNo, Text(817), "", Answer::Yes});
    dialogs_.Expect({Icon::Stop, Buttons::Ok, Text(280), "", Answer::Ok});
    Keeper().BackupProfile();
    EXPECT_TRUE(dialogs_.Finished() && link_->State().CommFailed);
    EXPECT_EQ(FileBytes(Backup()), kept);
    EXPECT_NE(dialogs_.shownTexts.back().find(Utf8Of(Backup())), std::string::npos) << "the box names the file";
}

// Every way a backup or a restore can fail says why (status 280 and an error
// row) and resets the stage. A failed backup stops before any code would go
// and writes no file; a failed restore keeps the file for the recovery, and
// its header record goes in only after every block. The clock is set in
// every outcome of a restore.
TEST_F(ProfileTest, AFailedBackupOrRestoreSaysWhyAndKeepsTheProfile)
{
    struct Case { const char* name; bool restore; std::function<void(const Bytes&)> arrange; int errorText, blockReads = 0; };
    const Case cases[] = {
        {"block read fails", false, [&](const Bytes&) { harness_->Faults().Reject(0xB4, 1000, 5); }, 797, 3},
        {"a block's reads never agree", false, [&](const Bytes&) {
             harness_->SetIdleHook([&] { Memory()[16 * 16] = static_cast<std::uint8_t>(Frames(0xB4)); });
         }, 797, 2},
        {"1025 blocks", false, [&](const Bytes&) { SetPointers({0x10, 0x00, 0x10, 0x20}); }, 1002, 1},
        {"block 3 refused", true, [&](const Bytes&) { harness_->Faults().Reject(sim::DataFrame(0xB5), 1000, 2); }, 790},
        {"header record refused, though the device holds it", true, [&](const Bytes& original) {
             harness_->Faults().Reject(0xB2, 1000);
             std::copy_n(original.begin() + 64, 16, Memory().begin() + 64);
         }, 816},
        {"read-back fails", true, [&](const Bytes&) { harness_->Faults().Reject(0xB4, 1000); }, 816},
        {"header reads back different", true, [&](const Bytes&) { harness_->Faults().BadCell(64 + 9, 0x01); }, 816},
        {"no folder writable (last: the folders stay so)", false, [&](const Bytes&) {
             MakeFolderAFile(folders_.Program);
             folders_.User = folders_.Program / "user";
             dialogs_.Expect({Icon::Stop, Buttons::Ok, Text(280), "", Answer::Ok});
         }, 797, 41},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MakeDevice(c.errorText == 1002 ? 1024 : 512);
        const Bytes original = c.restore ? BackupThenNewCode() : Memory();
        resets_ = 0;
        saved_.ProfileSafe = true;  // the failure itself must clear it
        c.arrange(original);
        c.restore ? Keeper().RestoreProfile() : Keeper().BackupProfile();

        EXPECT_EQ(resets_, 1);
        EXPECT_EQ(log_.rows, (Rows{Row(0, c.restore ? Text(796) : kBackupRow, Text(280)), Row(2, Text(c.errorText))}));
        EXPECT_EQ(fs::is_regular_file(Backup()), c.restore);
        if (c.restore) {
            EXPECT_FALSE(saved_.ProfileSafe);
            EXPECT_EQ(std::equal(original.begin() + 64, original.begin() + 80, Memory().begin() + 64), c.errorText == 816);
            EXPECT_EQ(Frames(0x97, 2), 2);
        } else {
            EXPECT_TRUE(link_->State().CommFailed && saved_.ProfileRestorePending);
            EXPECT_EQ(Frames(0xB4, 4, true), c.blockReads) << "a resent read is one block";
        }
    }
    ASSERT_EQ(dialogs_.shownTexts.size(), 1u);
    EXPECT_NE(dialogs_.shownTexts[0].find(Utf8Of(folders_.Program) + ": "), std::string::npos);
    EXPECT_NE(dialogs_.shownTexts[0].find(Utf8Of(folders_.User) + ": "), std::string::npos);
}

// The recovery at close: the diver may decline or dismiss it (the file stays
// where the next run finds it, and a box says where), retry while the device
// is away, or connect another device. The script: the question's answer
// (Y, N, E for Esc), then each instruction box's (O, C, E).
TEST_F(ProfileTest, RecoveryRestoresDeclinesOrRetriesAsTheDiverAnswers)
{
    const fs::path archived = folders_.Program / "archive";
    int restoredCopies = 0;
    std::error_code ignored;
    // failed: why the first attempt did. Each attempt (O) runs at high priority and ends at normal.
    struct Case { const char* name; std::string script; std::function<void()> arrange; bool restored, safe; int failed = 0; };
    const Case cases[] = {
        {"No", "N", [] {}, false, false},
        {"Esc on the question", "E", [] {}, false, false},
        {"Yes, Cancel", "YC", [] {}, false, false},
        {"Yes, Esc on the instructions", "YE", [] {}, false, false},
        {"OK with the device", "YO", [] {}, true, true},
        {"OK while silent, then OK", "YOO", [&] { harness_->Faults().UnplugAt(harness_->Now(), 30); }, true, true, 150},
        {"OK but block 0 fails, then OK", "YOO", [&] { harness_->Faults().Reject(0xB4, 4); }, true, true, 797},
        {"another device", "YO", [&] { MakeDevice(512, false, 40, 999); }, false, true},
        {"this run's restore failed to verify: no question", "YO", [&] {
             saved_.RestoreBegunFrom = Utf8Of(Backup());
             SetPointers({0x00, 0x01, 0x70, 0x02});
         }, true, true},
        {"stop requests of an earlier failure", "YO", [&] { link_->State().LinkAbort = link_->State().LinkCancel = true; },
         true, true},
        {"the cable was out: the port opens again", "YO", [&] { harness_->PortGoneAt(harness_->Now(), 0.0); }, true, true},
        {"the port refuses to send, then OK", "YOO", [&] { harness_->RefuseNextWrites(1); }, true, true, 150},
    };
    const auto answer = [](char c) {
        return c == 'Y' ? Answer::Yes : c == 'N' ? Answer::No : c == 'O' ? Answer::Ok : Answer::Cancel;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MakeDevice();
        saved_.RestoreBegunFrom.clear();
        const Bytes original = BackupThenNewCode();
        priority_.classes.clear();
        c.arrange();
        const Bytes before = Memory();
        const Bytes file = FileBytes(Backup());
        dialogs_.Expect({Icon::Exclamation, Buttons::YesNo, Text(817), Text(818), answer(c.script[0]), c.script[0] == 'E'});
        for (std::size_t i = 1; i < c.script.size(); ++i)
            dialogs_.Expect({Icon::Information, Buttons::OkCancel, Text(817), "", answer(c.script[i]), c.script[i] == 'E'});
        // The last box says where the profile is.
        dialogs_.Expect({Icon::Information, Buttons::Ok, Text(817),
                         c.restored ? Text(1013) : profiletext::WithArgument(Text(1014), Utf8Of(Backup())), Answer::Ok});
        Keeper().ProfileRecovering();
        // A failed attempt: the instructions that follow say so first.
        const std::string failed = Text(1035) + "\r\n" + Text(c.failed) + "\r\n\r\n1. ";
        EXPECT_EQ(c.failed != 0, dialogs_.shownTexts.end()[-2].starts_with(failed)) << dialogs_.shownTexts.end()[-2];

        EXPECT_TRUE(dialogs_.Finished());
        std::vector<std::int32_t> priorities;
        for (const char step : c.script)
            if (step == 'O') priorities.insert(priorities.end(), {HighPriorityClass, NormalPriorityClass});
        EXPECT_EQ(priority_.classes, priorities);
        EXPECT_TRUE(Memory() == (c.restored ? original : before));
        EXPECT_EQ(saved_.ProfileSafe, c.safe);
        // A restored file is kept in the archive; any other stays where it was, unchanged.
        // The archive keeps the five newest restored copies (the same file in every case here).
        std::set<fs::path> archive;
        for (const auto& entry : fs::directory_iterator(archived, ignored)) archive.insert(entry);
        restoredCopies = std::min(restoredCopies + c.restored, 5);
        EXPECT_EQ(static_cast<int>(archive.size()), restoredCopies);
        EXPECT_EQ(FileBytes(c.restored ? *archive.rbegin() : Backup()), file);
        EXPECT_EQ(fs::exists(Backup()), !c.restored);
        EXPECT_EQ(Frames(0xA8, 3), c.script[0] == 'Y' ? 1 : 0) << "a recovery once begun ends with sleep mode";
    }
    EXPECT_EQ(dialogs_.shownTexts.at(5), "1. " + Text(640) + "\r\n2. " + Text(654) + "\r\n3. " + Text(804) + "\r\n" +
                                             Text(805) + "\r\n" + Text(806) + "\r\n" + Text(807) + "\r\n\r\n4. " +
                                             Text(808) + "\r\n5. " + Text(809) + "\r\n6. " + Text(819) + "\r\n");
}

}  // namespace
