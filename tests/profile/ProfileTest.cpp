// The diver's profile: the backup file alone (pointers, layout, damage,
// writing and moving files, profiletool), then backup, restore and recovery
// against the emulated device on the virtual clock, with the real language
// database.

#include "link/CommModule.h"
#include "platform/Utf8Path.h"
#include "profile/BackupFile.h"
#include "profile/ProfileArea.h"
#include "profile/ProfileKeeper.h"
#include "profile/ProfileTexts.h"
#include "sim/Memory.h"
#include "sim/VirtualHarness.h"
#include "support/Fakes.h"
#include "support/TestTexts.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <unistd.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <utime.h>
#endif

namespace {

using namespace pelora;
namespace fs = std::filesystem;
using Icon = Dialogs::Icon;
using Buttons = Dialogs::Buttons;
using Answer = Dialogs::Answer;
using Bytes = std::vector<std::uint8_t>;
using Rows = std::vector<std::string>;

constexpr const char* kFileName = "513.004711.bin";
constexpr const char* kBackupRow = "Backup dive computer profile";
const std::string kArchived = "archive/513.004711.20260305-140709.bin";

// A task-log row as the recording log keeps it.
std::string Row(int icon, std::string event, std::string status = "") { return std::to_string(icon) + "|" + event + "|" + status; }
Bytes FileBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}
fs::path WriteBytes(const fs::path& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::ssize(bytes));
    return path;
}

// Element (block, column) where BackupFile.h says it lives: column by column, little-endian.
void Poke(Bytes& bytes, int block, int column, int value)
{
    const std::size_t at = 34 + 2 * static_cast<std::size_t>((block - 1) + 1024 * column);
    bytes[at] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[at + 1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}
void Repoint(Bytes& bytes, std::array<std::uint8_t, 4> pointers)
{
    std::copy(pointers.begin(), pointers.end(), bytes.begin() + 8);
    bytes[16] = 0;
    for (int k = 0; k < 16; ++k) bytes[16] = static_cast<std::uint8_t>(bytes[16] + bytes[k]);
}

// Built by hand: serial 004711, pointers 16..596 of a 512 memory, blocks 1..73 with address and sum.
Bytes GoodFile()
{
    Bytes bytes(266274);
    bytes[19] = 4, bytes[20] = 7, bytes[21] = 1, bytes[22] = 1;
    for (int b = 1; b <= 73; ++b) {
        int sum = 0;
        for (int c = 1; c <= 128; ++c) Poke(bytes, b, c, (b * 3 + c * 11) % 256), sum += (b * 3 + c * 11) % 256;
        Poke(bytes, b, 0, 8 * (b - 1));
        Poke(bytes, b, 129, sum % 256);
    }
    Repoint(bytes, {0x00, 0x01, 0x40, 0x25});
    return bytes;
}

TEST(ProfileArea, DecodesPointersAndCountsBlocks)
{
    struct Case { const char* name; int memorySize; std::array<std::uint8_t, 4> pointers; int start, end, blocks; };
    const Case cases[] = {
        {"512 wrapped", 512, {0x00, 0x01, 0x80, 0x00}, 16, 4063, 506},
        {"1024 wrapped", 1024, {0x64, 0x00, 0x32, 0x00}, 100, 8159, 1018},
        {"one block, first unit", 512, {0x50, 0x00, 0x00, 0x01}, 5, 16, 1},
        {"one block, last unit", 512, {0x50, 0x00, 0x7F, 0x01}, 5, 23, 1},
        {"equal pointers", 512, {0x40, 0x06, 0x40, 0x06}, 100, 100, 0},
        {"256 reads as 512", 256, {0x00, 0x01, 0x40, 0x25}, 16, 596, 73},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::array<std::uint8_t, 16> header{};
        std::copy(c.pointers.begin(), c.pointers.end(), header.begin() + 8);
        const ProfileArea area = ProfileAreaOf(header, c.memorySize);
        EXPECT_EQ(std::vector<int>({area.Start, area.End, area.BlockCount, area.Empty}),
                  std::vector<int>({c.start, c.end, c.blocks, c.start == c.end}));
    }
}

// Column by column, each element low byte first, half the values negative;
// every row comes back, whether or not the file is valid.
TEST(BackupFile, WritesEveryByteInPlaceAndReadsItBack)
{
    BackupContent content;
    for (int k = 0; k < 17; ++k) content.ProfileHeader[k] = 200 + k, content.BackupSerialDigits[k] = k;
    Bytes expected(content.ProfileHeader.begin(), content.ProfileHeader.end());
    expected.insert(expected.end(), content.BackupSerialDigits.begin(), content.BackupSerialDigits.end());
    for (int j = 0; j < 130; ++j)
        for (int i = 1; i <= 1024; ++i) {
            const std::uint16_t cell = (i * 131 + j * 257) * 7;
            content.ProfileBlocks.Block(i)[j] = cell;
            expected.push_back(cell & 0xFF), expected.push_back(cell >> 8);
        }
    const Bytes encoded = EncodeBackupFile(content);
    EXPECT_TRUE(encoded == expected);
    const BackupReadResult read = ParseBackupFile(encoded, 512);
    ASSERT_TRUE(read.Content);
    EXPECT_TRUE(EncodeBackupFile(*read.Content) == encoded);
}

TEST(BackupFile, ReportsTheFirstDamage)
{
    using P = BackupProblem;
    struct Case { const char* name; int memorySize; P problem; const char* where; std::function<void(Bytes&)> damage; };
    const Case cases[] = {
        {"valid", 512, P::None, "", [](Bytes&) {}},
        {"short", 512, P::WrongSize, "266273 bytes", [](Bytes& b) { b.pop_back(); }},
        {"long", 512, P::WrongSize, "266275 bytes", [](Bytes& b) { b.push_back(0); }},
        {"header sum before serial", 512, P::HeaderSum, "header", [](Bytes& b) { ++b[3], b[17] = 12; }},
        {"serial digit 10", 512, P::SerialDigits, "byte 2", [](Bytes& b) { b[17 + 2] = 10; }},
        {"too many blocks", 1024, P::TooManyBlocks, "8190", [](Bytes& b) { Repoint(b, {16, 0, 255, 255}); }},
        {"address", 512, P::BlockAddress, "block 5:", [](Bytes& b) { Poke(b, 5, 0, 33); }},
        {"byte 256", 512, P::ByteRange, "block 3: column 10", [](Bytes& b) { Poke(b, 3, 10, 256); }},
        {"minus one", 512, P::ByteRange, "block 7: column 129", [](Bytes& b) { Poke(b, 7, 129, -1), Poke(b, 9, 0, 1); }},
        {"last block's data", 512, P::BlockSum, "block 73:", [](Bytes& b) { Poke(b, 73, 1, 0); }},
        {"beyond the last block", 512, P::None, "", [](Bytes& b) { Poke(b, 74, 0, 999), Poke(b, 74, 5, 300); }},
        {"empty area", 512, P::None, "", [](Bytes& b) { Repoint(b, {0, 1, 0, 1}), Poke(b, 1, 0, -5); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = GoodFile();
        c.damage(bytes);
        const BackupReadResult read = ParseBackupFile(bytes, c.memorySize);
        EXPECT_EQ(read.Problem, c.problem) << read.Detail;
        EXPECT_NE(read.Detail.find(c.where), std::string::npos) << read.Detail;
        EXPECT_EQ(read.Detail.empty(), c.problem == P::None) << read.Detail;
    }
}

// A folder of its own for each file operation.
class BackupFileWrite : public ::testing::Test {
protected:
    void SetUp() override { fs::remove_all(dir_), fs::create_directories(dir_); }
    void TearDown() override { fs::remove_all(dir_); }
    const fs::path dir_ = fs::temp_directory_path() / ("backupfiletest-" + std::to_string(::getpid()));
};
using BackupFileMove = BackupFileWrite;
using BackupTool = BackupFileWrite;

TEST_F(BackupFileWrite, ReplacesTheFileWholeOrNotAtAll)
{
    const Bytes earlier = {1, 2, 3}, good = GoodFile();
    const fs::path target = WriteBytes(dir_ / kFileName, earlier);
    std::string error;
    EXPECT_TRUE(WriteFileAtomically(target, good, &error)) << error;
    EXPECT_EQ(FileBytes(target), good);
#ifndef _WIN32
    // A disk that fills up, which chmod cannot arrange for root: a file size limit.
    WriteBytes(target, earlier);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    const rlimit full{1000, old.rlim_max};
    std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &full);
    const bool written = WriteFileAtomically(target, good, &error);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, SIG_DFL);
    EXPECT_FALSE(written);
    EXPECT_NE(error.find("File too large"), std::string::npos) << error;
    EXPECT_EQ(FileBytes(target), earlier);
#endif
    fs::create_directories(dir_ / "taken.bin" / "inside");
    EXPECT_FALSE(WriteFileAtomically(dir_ / "taken.bin", good, &error));
    EXPECT_EQ(error.rfind("cannot rename", 0), 0u) << error;
    // Neither failure leaves its temporary file behind.
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{kFileName, "taken.bin"}));
}

TEST_F(BackupFileMove, GoesAsideWithoutOverwritingAndTellsTheTime)
{
    const fs::path backup = dir_ / kFileName, archive = dir_ / "archive";
    const fs::path damaged = dir_ / "513.004711.bin.damaged-20261206-235300";
    const fs::path archived = archive / "513.004711.20261206-235300.bin";
    const fs::path used[] = {archived, archive / "513.004711.20261206-235300-2.bin",
                             archive / "513.004711.20261206-235300-3.bin", damaged,
                             dir_ / "513.004711.bin-2.damaged-20261206-235300"};
    std::string error;
    for (std::uint8_t n = 0; n < 5; ++n) {
        WriteBytes(backup, {n});
        EXPECT_EQ(MoveFile(backup, n < 3 ? archived : damaged, &error), used[n]) << error;
    }
    EXPECT_EQ(MoveFile(backup, archived, &error), std::nullopt);
    EXPECT_EQ(error.rfind("cannot move " + backup.string(), 0), 0u) << error;
    // Of the restored copies the five newest per device stay; nothing else is touched.
    std::set<std::string> kept;
    for (const char* stamp : {"235310", "235311", "235312", "235313", "235314", "235315", "235315-2"})
        kept.insert(std::string("513.004711.restored-20261206-") + stamp + ".bin");
    kept.insert("513.004712.restored-20261206-235300.bin");
    for (const auto& name : kept) WriteBytes(archive / name, {0});
    kept.erase(kept.begin()), kept.erase(kept.begin());
    PruneRestoredCopies(backup, 5);
    for (const fs::path& path : {used[0], used[1], used[2]}) kept.insert(path.filename().string());
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(archive)) left.insert(entry.path().filename().string());
    EXPECT_EQ(left, kept);
#ifndef _WIN32
    // Local time in a zone 5:30 east of UTC, so that UTC would show.
    const fs::path file = WriteBytes(dir_ / "f.bin", {1});
    const utimbuf times{1800000000, 1800000000};  // 2027-01-15 08:00:00 UTC
    ASSERT_EQ(::utime(file.c_str(), &times), 0);
    const char* zone = std::getenv("TZ");
    const std::string saved = zone ? zone : "";
    ::setenv("TZ", "XST-5:30", 1), ::tzset();
    const auto modified = FileModifiedTime(file);
    zone ? ::setenv("TZ", saved.c_str(), 1) : ::unsetenv("TZ"), ::tzset();
    ASSERT_TRUE(modified);
    EXPECT_EQ(FileStamp(*modified), "20270115-133000");
#endif
    EXPECT_EQ(FileModifiedTime(dir_ / "missing"), std::nullopt);
}

// Folders named in other scripts, made from UTF-8 as the program gets them;
// messages name the files in UTF-8 too.
TEST_F(BackupFileMove, WritesReadsAndMovesInFoldersOfAnyName)
{
    const std::pair<const char*, const char8_t*> names[] = {{"Jürgen", u8"Jürgen"}, {"ダイブ", u8"ダイブ"}};
    for (const auto& [utf8, name] : names) {
        SCOPED_TRACE(utf8);
        const fs::path folder = dir_ / PathFromUtf8(utf8), backup = folder / kFileName;
        ASSERT_EQ(folder, dir_ / name);
        ASSERT_TRUE(fs::create_directory(folder));
        std::string error;
        ASSERT_TRUE(WriteFileAtomically(backup, GoodFile(), &error)) << error;
        EXPECT_TRUE(ReadBackupFile(backup, 512).Valid());
        const fs::path archived = folder / "archive" / "513.004711.20260305-140709.bin";
        EXPECT_EQ(MoveFile(backup, ArchivePath(backup, {2026, 3, 5, 14, 7, 9}), &error), archived) << error;
        EXPECT_EQ(FileBytes(archived), GoodFile());
        EXPECT_EQ(ReadBackupFile(backup, 512).Detail.rfind("cannot open " + Utf8Of(backup), 0), 0u);
    }
}

#ifndef _WIN32  // the tool runs where the tests are built

// Files from `make` and damaged ones, as `info` shows them, and the exit codes.
TEST_F(BackupTool, MakesAndShowsBackups)
{
    Bytes badSerial = GoodFile();
    badSerial[17] = 10;
    const auto file = [&](const char* name, const Bytes& bytes) { return "'" + WriteBytes(dir_ / name, bytes).string() + "'"; };
    const std::string good = file("good.bin", GoodFile()), made = "'" + (dir_ / "made.bin").string() + "'";
    struct Case { std::string args; int exitCode; std::string output; };  // a final '*': anything after
    const Case cases[] = {
        {"info " + good, 0, "size=266274\nserial=004711\nstart=16\nend=596\nblocks=73\nvalid=yes\n"},
        {"info " + file("serial.bin", badSerial), 1,
         "size=266274\nstart=16\nend=596\nblocks=73\nvalid=no\nproblem=serial number: *"},
        {"info " + file("small.bin", Bytes(100)), 1, "size=100\nvalid=no\nproblem=the file has 100 bytes*"},
        {"info /nonexistent/x.bin", 1, "valid=no\nproblem=cannot open /nonexistent/x.bin: *"},
        {"make " + made + " --serial 123456 --blocks 20", 0, ""},
        {"info " + made, 0, "size=266274\nserial=123456\nstart=16\nend=175\nblocks=20\nvalid=yes\n"},
        {"make " + made + " --memory-size 1024 --wrapped --blocks 3 --seed 9", 0, ""},
        {"info --memory-size 1024 " + made, 0, "size=266274\nserial=004711\nstart=48\nend=8159\nblocks=1018\nvalid=yes\n"},
        {"make " + made + " --memory-size 1024 --blocks 1024", 2, ""},  // the pointers fit, the memory not
        {"info", 2, ""},
        {"dump " + good, 2, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        FILE* pipe = ::popen((std::string("'") + PROFILETOOL_EXECUTABLE + "' " + c.args + " 2>/dev/null").c_str(), "r");
        ASSERT_TRUE(pipe);
        std::string output;
        for (char buffer[512]; std::fgets(buffer, sizeof buffer, pipe);) output += buffer;
        const int status = ::pclose(pipe);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.exitCode);
        EXPECT_EQ(c.output.ends_with('*') ? output.substr(0, c.output.size() - 1) + "*" : output, c.output);
    }
}
#endif

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

    fs::path root_ = fs::temp_directory_path() / ("profiletest-" + std::to_string(::getpid()));
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

// A damaged file (undecodable, or decodable with a bad block) or one whose
// digits are another device's is never sent and never destroyed: it is
// renamed aside and the device is read instead.
TEST_F(ProfileTest, DamagedBackupFilesAreSetAsideAndTheDeviceIsRead)
{
    const std::pair<const char*, std::function<void(Bytes&)>> damages[] = {
        {"truncated", [](Bytes& b) { b.resize(1000); }},
        {"another device's digits", [](Bytes& b) { b[17 + 5] = 9; }},
        {"block check byte", [](Bytes& b) { b[34 + 2 * (2 + 1024 * 129)] ^= 1; }},
    };
    Keeper().BackupProfile();
    const Bytes good = FileBytes(Backup());
    const auto aside = folders_.Program / (std::string(kFileName) + ".damaged-20260305-140709");
    for (const auto& [name, damage] : damages) {
        SCOPED_TRACE(name);
        Bytes bytes = good;
        damage(bytes);
        WriteBytes(Backup(), bytes);
        MakeDevice();
        Keeper().BackupProfile();

        EXPECT_EQ(FileBytes(aside), bytes);
        fs::remove(aside);
        EXPECT_EQ(log_.rows, (Rows{Row(2, profiletext::WithArgument(Text(1001), aside.filename().string())),
                                   Row(0, kBackupRow, Text(777))}));
        EXPECT_EQ(FileBytes(Backup()), good) << "the device is read and saved anew";
    }
}

// A backup file is found by the serial number's six-digit form, whatever
// nibbles the device holds, and a good file is found whichever folder holds
// it: one that equals the device's header record first, else the newer.
// Each case ends with a look-up that must use the good file as it is.
TEST_F(ProfileTest, TheGoodBackupIsFoundInEitherFolder)
{
    const fs::path program = folders_.Program / kFileName, user = folders_.User / kFileName;
    struct Case { const char* name; std::function<void()> arrange; fs::path used; const char* question = nullptr; };
    const Case cases[] = {
        {"serial nibbles above 9", [&] {
             std::copy_n(std::array<std::uint8_t, 3>{0x9F, 0xAB, 0xFF}.begin(), 3, Memory().begin() + 10);
         }, folders_.Program / "513.061265.bin"},
        {"damaged in the program's folder", [&] {
             fs::rename(program, user);
             Bytes bytes = GoodFile();
             WriteBytes(program, Bytes(bytes.begin(), bytes.begin() + 99));
         }, user},
        {"no profile in the program's folder", [&] {
             fs::copy_file(program, user);
             Bytes bytes = FileBytes(program);
             Repoint(bytes, {0x00, 0x01, 0x00, 0x01});
             WriteBytes(program, bytes);
         }, user},
        {"the user's equals the device, the program's is older", [&] {
             fs::rename(program, root_ / "older");
             SetPointers({0x00, 0x01, 0x70, 0x15});
             Keeper().BackupProfile();
             fs::rename(program, user);
             fs::rename(root_ / "older", program);
         }, user},
        {"neither equals the device: the newer is offered", [&] {
             fs::copy_file(program, user);
             fs::last_write_time(program, fs::last_write_time(user) - std::chrono::hours(48));
             SetPointers({0x00, 0x01, 0x70, 0x15});
         }, user, "Answer No"},
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
        const Bytes good = FileBytes(c.used);
        const int reads = Frames(0xB4);
        Keeper().BackupProfile();
        EXPECT_EQ(Frames(0xB4) - reads, 2) << "only block 0 is read: the file is used";
        EXPECT_EQ(saved_.BackupFilePath, c.used.string());
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
    Keeper().BackupProfile();  // the device unchanged: the file is used without a question
    const Bytes oldFile = FileBytes(Backup());
    const std::string date = ReadableStamp(*FileModifiedTime(Backup()));
    const auto archived = folders_.Program / kArchived;
    SetPointers({0x00, 0x01, 0x70, 0x15});  // a dive logged since: one block more
    for (const Answer answer : {Answer::No, Answer::Yes}) {
        SCOPED_TRACE(answer == Answer::Yes ? "Esc: keep the device's profile" : "use the file");
        dialogs_.Expect({Icon::Question, Buttons::YesNo, Text(817), "", Answer::No, answer == Answer::Yes});
        Keeper().BackupProfile();
        ASSERT_TRUE(dialogs_.Finished());
        EXPECT_NE(dialogs_.shownTexts.back().find(date), std::string::npos) << "the box gives the file's date";
        EXPECT_EQ(fs::exists(archived), answer == Answer::Yes);
    }
    // No used the file as it was: the device's blocks were not read again.
    EXPECT_EQ(Frames(0xB4), 2 * (41 + 1 + 1 + 1 + 41));
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
    EXPECT_NE(dialogs_.shownTexts.back().find(Backup().string()), std::string::npos) << "the box names the file";
}

// Every way a backup can fail stops before any code would go: CommFailed,
// status 280 with its error row, the stage reset, and no file.
TEST_F(ProfileTest, AFailedBackupWritesNoFileAndSaysWhy)
{
    struct Case { const char* name; std::function<void()> arrange; int errorText, blockReads; };
    const Case cases[] = {
        {"block read fails", [&] { harness_->Faults().Reject(0xB4, 1000, 5); }, 797, 3},
        {"a block's reads never agree", [&] {
             harness_->SetIdleHook([&] { Memory()[16 * 16] = static_cast<std::uint8_t>(Frames(0xB4)); });
         }, 797, 2},
        {"more than 1024 blocks", [&] { SetPointers({0x10, 0x00, 0x28, 0x23}); }, 1002, 1},
        {"no folder writable", [&] {
             MakeFolderAFile(folders_.Program);
             folders_.User = folders_.Program / "user";
             dialogs_.Expect({Icon::Stop, Buttons::Ok, Text(280), "", Answer::Ok});
         }, 797, 41},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MakeDevice(c.errorText == 1002 ? 1024 : 512);
        resets_ = 0;
        c.arrange();
        Keeper().BackupProfile();

        EXPECT_TRUE(link_->State().CommFailed && saved_.ProfileRestorePending);
        EXPECT_EQ(resets_, 1);
        EXPECT_EQ(Frames(0xB4, 4, true), c.blockReads) << "a resent read is one block";
        EXPECT_EQ(log_.rows, (Rows{Row(0, kBackupRow, Text(280)), Row(2, Text(c.errorText))}));
        EXPECT_FALSE(fs::is_regular_file(Backup()));
    }
    ASSERT_EQ(dialogs_.shownTexts.size(), 1u);
    EXPECT_NE(dialogs_.shownTexts[0].find(folders_.Program.string() + ": "), std::string::npos);
    EXPECT_NE(dialogs_.shownTexts[0].find(folders_.User.string() + ": "), std::string::npos);
}

// A restore counts as done only when every block and the header record went
// in and block 0 really came back with the header; otherwise the file stays
// for the recovery. The clock is set in every outcome.
TEST_F(ProfileTest, AFailedRestoreKeepsTheFileAndSaysWhy)
{
    struct Case { const char* name; std::function<void(const Bytes&)> arrange; int errorText; };
    const Case cases[] = {
        {"block 3 refused", [&](const Bytes&) { harness_->Faults().Reject(sim::DataFrame(0xB5), 1000, 2); }, 790},
        {"header record refused, though the device holds it", [&](const Bytes& original) {
             harness_->Faults().Reject(0xB2, 1000);
             std::copy_n(original.begin() + 64, 16, Memory().begin() + 64);
         }, 816},
        {"read-back fails", [&](const Bytes&) { harness_->Faults().Reject(0xB4, 1000); }, 816},
        {"header reads back different", [&](const Bytes&) { harness_->Faults().BadCell(64 + 9, 0x01); }, 816},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MakeDevice();
        const Bytes original = BackupThenNewCode();
        resets_ = 0;
        saved_.ProfileSafe = true;  // the failure itself must clear it
        c.arrange(original);
        Keeper().RestoreProfile();

        EXPECT_FALSE(saved_.ProfileSafe);
        EXPECT_TRUE(fs::exists(Backup()));
        EXPECT_EQ(resets_, 1);
        EXPECT_EQ(log_.rows, (Rows{Row(0, Text(796), Text(280)), Row(2, Text(c.errorText))}));
        EXPECT_EQ(std::equal(original.begin() + 64, original.begin() + 80, Memory().begin() + 64), c.errorText == 816)
            << "the header record goes in only after every block";
        EXPECT_EQ(Frames(0x97, 2), 2);
    }
}

// The recovery at close: the diver may decline or dismiss it (the file stays
// where the next run finds it, and a box says where), retry while the device
// is away, or connect another device. The script: the question's answer
// (Y, N, E for Esc), then each instruction box's (O, C, E).
TEST_F(ProfileTest, RecoveryRestoresDeclinesOrRetriesAsTheDiverAnswers)
{
    const fs::path restoredCopy = folders_.Program / "archive/513.004711.restored-20260305-140709.bin";
    struct Case { const char* name; std::string script; std::function<void()> arrange; bool restored, safe;
                  std::vector<std::int32_t> priorities; };
    const Case cases[] = {
        {"No", "N", [] {}, false, false, {}},
        {"Esc on the question", "E", [] {}, false, false, {}},
        {"Yes, Cancel", "YC", [] {}, false, false, {}},
        {"Yes, Esc on the instructions", "YE", [] {}, false, false, {}},
        {"OK with the device", "YO", [] {}, true, true, {128, 32}},
        {"OK while silent, then OK", "YOO", [&] { harness_->Faults().UnplugAt(harness_->Now(), 30); }, true, true,
         {128, 32, 128, 32}},
        {"OK but block 0 fails, then OK", "YOO", [&] { harness_->Faults().Reject(0xB4, 4); }, true, true,
         {128, 32, 128, 32}},
        {"another device", "YO", [&] { MakeDevice(512, false, 40, 999); }, false, true, {128, 32}},
        {"this run's restore failed to verify: no question", "YO", [&] {
             saved_.RestoreBegunFrom = Backup().string();
             SetPointers({0x00, 0x01, 0x70, 0x02});
         }, true, true, {128, 32}},
        {"stop requests of an earlier failure", "YO", [&] { link_->State().LinkAbort = link_->State().LinkCancel = true; },
         true, true, {128, 32}},
        {"the cable was out: the port opens again", "YO", [&] { harness_->PortGoneAt(harness_->Now(), 0.0); }, true,
         true, {128, 32}},
        {"the port refuses to send, then OK", "YOO", [&] { harness_->RefuseNextWrites(1); }, true, true,
         {128, 32, 128, 32}},
    };
    const auto answer = [](char c) {
        return c == 'Y' ? Answer::Yes : c == 'N' ? Answer::No : c == 'O' ? Answer::Ok : Answer::Cancel;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(restoredCopy.parent_path());
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
        if (!c.restored)
            dialogs_.Expect({Icon::Information, Buttons::Ok, Text(817),
                             profiletext::WithArgument(Text(1014), Backup().string()), Answer::Ok});
        Keeper().ProfileRecovering();

        EXPECT_TRUE(dialogs_.Finished());
        EXPECT_EQ(priority_.classes, c.priorities);
        EXPECT_TRUE(Memory() == (c.restored ? original : before));
        EXPECT_EQ(saved_.ProfileSafe, c.safe);
        // A restored file is kept in the archive; any other stays where it was, unchanged.
        EXPECT_EQ(FileBytes(c.restored ? restoredCopy : Backup()), file);
        EXPECT_EQ(fs::exists(Backup()), !c.restored);
        EXPECT_EQ(Frames(0xA8, 3), c.script[0] == 'Y' ? 1 : 0) << "a recovery once begun ends with sleep mode";
    }
    EXPECT_EQ(dialogs_.shownTexts.at(5), "1. " + Text(640) + "\r\n2. " + Text(654) + "\r\n3. " + Text(804) + "\r\n" +
                                             Text(805) + "\r\n" + Text(806) + "\r\n" + Text(807) + "\r\n\r\n4. " +
                                             Text(808) + "\r\n5. " + Text(809) + "\r\n6. " + Text(819) + "\r\n");
}

// The program's or the user's folder named in another script: the backup is
// written there, found by the next run, restored, and a declined one goes to
// the archive there.
TEST_F(ProfileTest, BackupsLiveInFoldersOfAnyName)
{
    for (const auto& [name, user] : {std::pair{"Jürgen", true}, std::pair{"ダイブ", false}}) {
        SCOPED_TRACE(name);
        const fs::path folder = root_ / PathFromUtf8(name), file = folder / kFileName;
        folders_ = user ? BackupFolders{root_ / "program", folder} : BackupFolders{folder, root_ / "user"};
        SetUp();
        if (user) MakeFolderAFile(folders_.Program);
        const Bytes original = Memory();
        Keeper().BackupProfile();
        ASSERT_TRUE(fs::exists(file));
        saved_ = {};
        MakeDevice();
        sim::ClearLogbook(Memory(), memorySize_);
        Keeper().BackupProfile();
        EXPECT_EQ(Frames(0xB4), 2) << "the file is used, the device's blocks are not read";
        Keeper().RestoreProfile();
        EXPECT_TRUE(Memory() == original);
        EXPECT_TRUE(fs::exists(folder / "archive/513.004711.restored-20260305-140709.bin") && !fs::exists(file));

        Keeper().BackupProfile();
        dialogs_.Expect({Icon::Exclamation, Buttons::YesNo, Text(817), Text(818), Answer::No});
        dialogs_.Expect({Icon::Information, Buttons::Ok, Text(817),
                         profiletext::WithArgument(Text(1014), Utf8Of(file)), Answer::Ok});
        Keeper().ProfileRecovering();
        EXPECT_TRUE(fs::exists(file)) << "declined, the file stays where the next run finds it";
    }
}

}  // namespace
