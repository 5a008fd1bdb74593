#include "profile/BackupFile.h"
#include "profile/ProfileArea.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <numeric>
#include <set>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

using namespace pelora;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

// A folder of its own, removed afterwards.
struct TempDir {
    fs::path path = fs::temp_directory_path() / ("backupfiletest-" + std::to_string(::getpid()));
    TempDir() { fs::remove_all(path); fs::create_directories(path); }
    ~TempDir() { fs::remove_all(path); }
    fs::path Write(const std::string& name, const Bytes& bytes) const
    {
        std::ofstream(path / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::ssize(bytes));
        return path / name;
    }
};

Bytes Slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Where the file keeps element (block, column), as BackupFile.h states it.
std::size_t At(int block, int column) { return 34 + 2 * static_cast<std::size_t>((block - 1) + 1024 * column); }
void Poke(Bytes& bytes, int block, int column, int value)
{
    bytes[At(block, column)] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[At(block, column) + 1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}
void Repoint(Bytes& bytes, std::array<std::uint8_t, 4> pointers)
{
    std::copy(pointers.begin(), pointers.end(), bytes.begin() + 8);
    bytes[16] = static_cast<std::uint8_t>(std::accumulate(bytes.begin(), bytes.begin() + 16, 0) % 256);
}

// Serial 004711, pointers 16..596 of a 512 memory: blocks 1..73 with address and sum.
Bytes GoodFile()
{
    BackupContent content;
    content.BackupSerialDigits = {0, 0, 4, 7, 1, 1};
    for (int b = 1; b <= 73; ++b) {
        auto& row = content.ProfileBlocks.Block(b);
        row[0] = static_cast<std::int16_t>(8 * (b - 1));
        for (int c = 1; c <= 128; ++c) row[c] = static_cast<std::int16_t>((b * 3 + c * 11) % 256);
        row[129] = static_cast<std::int16_t>(std::accumulate(row.begin() + 1, row.begin() + 129, 0) % 256);
    }
    Bytes bytes = EncodeBackupFile(content);
    Repoint(bytes, {0x00, 0x01, 0x40, 0x25});
    return bytes;
}

}  // namespace

TEST(ProfileArea, DecodesPointersAndCountsBlocks)
{
    struct Case { const char* name; int memorySize; std::array<std::uint8_t, 4> pointers; int start, end, blocks; };
    const Case cases[] = {
        {"512", 512, {0x00, 0x01, 0x40, 0x25}, 16, 596, 73},
        {"1024 unit numbers", 1024, {0x10, 0x00, 0x2C, 0x01}, 16, 300, 36},
        {"512 wrapped", 512, {0x00, 0x01, 0x80, 0x00}, 16, 4063, 506},
        {"1024 wrapped", 1024, {0x64, 0x00, 0x32, 0x00}, 100, 8159, 1018},
        {"below the area", 512, {0x50, 0x00, 0xA0, 0x00}, 5, 10, 0},
        {"one block, first unit", 512, {0x50, 0x00, 0x00, 0x01}, 5, 16, 1},
        {"one block, last unit", 512, {0x50, 0x00, 0x7F, 0x01}, 5, 23, 1},
        {"equal pointers", 512, {0x40, 0x06, 0x40, 0x06}, 100, 100, 0},
        {"16-bit end", 1024, {0x10, 0x00, 0xFF, 0xFF}, 16, 65535, 8190},
        {"256 reads as 512", 256, {0x00, 0x01, 0x40, 0x25}, 16, 596, 73},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::array<std::uint8_t, 16> header{};
        std::copy(c.pointers.begin(), c.pointers.end(), header.begin() + 8);
        const ProfileArea area = ProfileAreaOf(header, c.memorySize);
        EXPECT_EQ(area.Start, c.start);
        EXPECT_EQ(area.End, c.end);
        EXPECT_EQ(area.BlockCount, c.blocks);
        EXPECT_EQ(area.Empty, c.start == c.end);
    }
    EXPECT_EQ(ByteSum(Bytes{255, 255, 200}), 198);
}

TEST(BackupFile, WritesEveryByteInPlaceAndReadsItBack)
{
    BackupContent content;
    for (int k = 0; k < 17; ++k) content.ProfileHeader[k] = static_cast<std::uint8_t>(200 + k);
    for (int k = 0; k < 17; ++k) content.BackupSerialDigits[k] = static_cast<std::uint8_t>(k);
    const auto cell = [](int i, int j) { return static_cast<std::int16_t>((i * 131 + j * 257) * 7); };
    for (int i = 1; i <= 1024; ++i)
        for (int j = 0; j < 130; ++j) content.ProfileBlocks.Block(i)[j] = cell(i, j);

    Bytes expected(content.ProfileHeader.begin(), content.ProfileHeader.end());
    expected.insert(expected.end(), content.BackupSerialDigits.begin(), content.BackupSerialDigits.end());
    for (int j = 0; j < 130; ++j)
        for (int i = 1; i <= 1024; ++i) {
            expected.push_back(static_cast<std::uint8_t>(cell(i, j) & 0xFF));
            expected.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(cell(i, j)) >> 8));
        }
    const Bytes encoded = EncodeBackupFile(content);
    ASSERT_EQ(encoded.size(), 266274u);
    EXPECT_EQ(std::mismatch(encoded.begin(), encoded.end(), expected.begin()).first - encoded.begin(), 266274);
    const auto element = [&](std::size_t at) { return static_cast<std::int16_t>(encoded[at] | encoded[at + 1] << 8); };
    EXPECT_EQ(element(34), cell(1, 0));
    EXPECT_EQ(element(2080), cell(1024, 0));
    EXPECT_EQ(element(133752), cell(300, 65));
    EXPECT_EQ(element(266272), cell(1024, 129));

    // Every row comes back, whether or not the file is valid.
    const BackupReadResult read = ParseBackupFile(encoded, 512);
    ASSERT_TRUE(read.Content);
    EXPECT_EQ(read.Content->ProfileHeader, content.ProfileHeader);
    EXPECT_EQ(read.Content->BackupSerialDigits, content.BackupSerialDigits);
    for (int i = 1; i <= 1024; ++i)
        ASSERT_EQ(read.Content->ProfileBlocks.Block(i), content.ProfileBlocks.Block(i)) << "block " << i;

    EXPECT_EQ(BackupFileName(513, 4711), "513.004711.bin");
    EXPECT_EQ(SerialDigits(4711), (std::array<std::uint8_t, 17>{0, 0, 4, 7, 1, 1}));
}

TEST(BackupFile, ReportsTheFirstDamage)
{
    using P = BackupProblem;
    using Damage = std::function<void(Bytes&)>;
    struct Case { const char* name; int memorySize; P problem; const char* where; int blocks; Damage damage; };
    const Case cases[] = {
        {"valid", 512, P::None, "", 73, [](Bytes&) {}},
        {"short", 512, P::WrongSize, "266273 bytes", 0, [](Bytes& b) { b.pop_back(); }},
        {"long", 512, P::WrongSize, "266275 bytes", 0, [](Bytes& b) { b.push_back(0); }},
        {"header sum before serial", 512, P::HeaderSum, "header", 73, [](Bytes& b) { ++b[3], b[17] = 12; }},
        {"serial digit 10", 512, P::SerialDigits, "byte 2", 73, [](Bytes& b) { b[17 + 2] = 10; }},
        {"too many blocks", 1024, P::TooManyBlocks, "8190", 8190, [](Bytes& b) { Repoint(b, {16, 0, 255, 255}); }},
        {"address", 512, P::BlockAddress, "block 5:", 73, [](Bytes& b) { Poke(b, 5, 0, 33); }},
        {"byte 256", 512, P::ByteRange, "block 3: column 10", 73, [](Bytes& b) { Poke(b, 3, 10, 256); }},
        {"minus one", 512, P::ByteRange, "block 7: column 129", 73,
         [](Bytes& b) { Poke(b, 7, 129, -1), Poke(b, 9, 0, 1); }},
        {"check byte", 512, P::BlockSum, "block 17:", 73, [](Bytes& b) { Poke(b, 17, 129, b[At(17, 129)] ^ 1); }},
        {"beyond the last block", 512, P::None, "", 73, [](Bytes& b) { Poke(b, 74, 0, 999), Poke(b, 74, 5, 300); }},
        {"empty area", 512, P::None, "", 0, [](Bytes& b) { Repoint(b, {0, 1, 0, 1}), Poke(b, 1, 0, -5); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = GoodFile();
        c.damage(bytes);
        const BackupReadResult read = ParseBackupFile(bytes, c.memorySize);
        EXPECT_EQ(read.Problem, c.problem) << read.Detail;
        EXPECT_NE(read.Detail.find(c.where), std::string::npos) << read.Detail;
        EXPECT_EQ(read.Detail.empty(), c.problem == P::None) << read.Detail;
        EXPECT_EQ(read.Content.has_value(), c.problem != P::WrongSize);
        EXPECT_EQ(read.Area.BlockCount, c.blocks);
    }
}

TEST(BackupFileWrite, ReplacesTheFileWholeOrNotAtAll)
{
    TempDir dir;
    const Bytes earlier = {1, 2, 3}, good = GoodFile();
    const fs::path target = dir.Write("513.004711.bin", earlier);
    std::string error;
    EXPECT_TRUE(WriteFileAtomically(target, good, &error)) << error;
    EXPECT_EQ(Slurp(target), good);

    // A disk that fills up, which chmod cannot arrange for root: a file size limit.
    dir.Write("513.004711.bin", earlier);
    rlimit old{}, full{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    full = {1000, old.rlim_max};
    std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &full);
    const bool written = WriteFileAtomically(target, good, &error);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, SIG_DFL);
    EXPECT_FALSE(written);
    EXPECT_NE(error.find("File too large"), std::string::npos) << error;
    EXPECT_EQ(Slurp(target), earlier);

    const fs::path notAFolder = dir.Write("plain", earlier);
    EXPECT_FALSE(WriteFileAtomically(notAFolder / "x.bin", good, &error));
    EXPECT_EQ(error.rfind("cannot create " + notAFolder.string(), 0), 0u) << error;

    fs::create_directories(dir.path / "taken.bin" / "inside");
    EXPECT_FALSE(WriteFileAtomically(dir.path / "taken.bin", good, &error));
    EXPECT_EQ(error.rfind("cannot rename", 0), 0u) << error;
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path)) names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"513.004711.bin", "plain", "taken.bin"}));
}

TEST(BackupFileMove, MovesAsideWithoutOverwritingAndTellsTheTime)
{
    TempDir dir;
    const fs::path backup = dir.path / "513.004711.bin", archive = dir.path / "archive";
    const LocalDateTime now{2026, 12, 6, 23, 53, 0};
    const fs::path damaged = dir.path / "513.004711.bin.damaged-20261206-235300";
    const fs::path archived = archive / "513.004711.20261206-235300.bin";
    EXPECT_EQ(DamagedPath(backup, now), damaged);
    EXPECT_EQ(ArchivePath(backup, now), archived);

    const fs::path used[] = {archived, archive / "513.004711.20261206-235300-2.bin",
                             archive / "513.004711.20261206-235300-3.bin", damaged,
                             dir.path / "513.004711.bin-2.damaged-20261206-235300"};
    std::string error;
    for (std::uint8_t n = 0; n < 5; ++n) {
        dir.Write(backup.filename().string(), {n});
        EXPECT_EQ(MoveFile(backup, n < 3 ? archived : damaged, &error), used[n]) << error;
    }
    for (std::uint8_t n = 0; n < 5; ++n) EXPECT_EQ(Slurp(used[n]), Bytes{n}) << used[n];
    EXPECT_EQ(MoveFile(backup, archived, &error), std::nullopt);
    EXPECT_EQ(error.rfind("cannot move " + backup.string(), 0), 0u) << error;

    // Local time in a zone 5:30 east of UTC, so that UTC would show.
    const fs::path file = dir.Write("f.bin", {1});
    const utimbuf times{1800000000, 1800000000};  // 2027-01-15 08:00:00 UTC
    ASSERT_EQ(::utime(file.c_str(), &times), 0);
    const char* zone = std::getenv("TZ");
    const std::string saved = zone ? zone : "";
    ::setenv("TZ", "XST-5:30", 1);
    ::tzset();
    const auto modified = FileModifiedTime(file);
    zone ? ::setenv("TZ", saved.c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
    ASSERT_TRUE(modified);
    EXPECT_EQ(FileStamp(*modified), "20270115-133000");
    EXPECT_EQ(FileModifiedTime(dir.path / "missing"), std::nullopt);
}

namespace {

// The exit code and what profiletool prints.
std::pair<int, std::string> RunProfiletool(const std::string& arguments)
{
    FILE* pipe = ::popen((std::string("'") + PROFILETOOL_EXECUTABLE + "' " + arguments + " 2>/dev/null").c_str(), "r");
    if (!pipe) return {-1, ""};
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

}  // namespace

// Files from `make` and damaged ones, as `info` shows them.
TEST(BackupFileTool, MakesAndShowsBackups)
{
    TempDir dir;
    Bytes badSum = GoodFile(), badSerial = GoodFile();
    Poke(badSum, 17, 129, badSum[At(17, 129)] ^ 1);
    badSerial[17] = 10;
    const auto file = [&](const char* name, const Bytes& bytes) { return "'" + dir.Write(name, bytes).string() + "'"; };
    const std::string good = file("good.bin", GoodFile()), made = "'" + (dir.path / "made.bin").string() + "'";
    const std::string area = "size=266274\nserial=004711\nstart=16\nend=596\nblocks=73\n";
    struct Case { std::string args; int exitCode; std::string output; };  // a final '*': anything after
    const Case cases[] = {
        {"info " + good, 0, area + "valid=yes\n"},
        {"info " + file("sum.bin", badSum), 1, area + "valid=no\nproblem=block 17: *"},
        {"info " + file("serial.bin", badSerial), 1,
         "size=266274\nstart=16\nend=596\nblocks=73\nvalid=no\nproblem=serial number: *"},
        {"info --memory-size 1024 " + good, 1,
         "size=266274\nserial=004711\nstart=256\nend=9536\nblocks=1191\nvalid=no\nproblem=header: *"},
        {"info " + file("small.bin", Bytes(100)), 1, "size=100\nvalid=no\nproblem=the file has 100 bytes*"},
        {"info /nonexistent/x.bin", 1, "valid=no\nproblem=cannot open /nonexistent/x.bin: *"},
        {"make " + made + " --serial 123456 --blocks 20", 0, ""},
        {"info " + made, 0, "size=266274\nserial=123456\nstart=16\nend=175\nblocks=20\nvalid=yes\n"},
        {"make " + made + " --memory-size 1024 --wrapped --blocks 3 --seed 9", 0, ""},
        {"info --memory-size 1024 " + made, 0,
         "size=266274\nserial=004711\nstart=48\nend=8159\nblocks=1018\nvalid=yes\n"},
        {"make " + made + " --blocks 511", 2, ""},
        {"info", 2, ""},
        {"info " + good + " --memory-size x", 2, ""},
        {"dump " + good, 2, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const auto [exitCode, output] = RunProfiletool(c.args);
        EXPECT_EQ(exitCode, c.exitCode);
        EXPECT_EQ(c.output.ends_with('*') ? output.substr(0, c.output.size() - 1) + "*" : output, c.output);
    }
}
