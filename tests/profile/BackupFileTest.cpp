// The backup file alone: layout, damage, writing and moving files
// whole, and profiletool.

#include "ProfileFiles.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <set>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <utime.h>
#endif

namespace {

using namespace profiletest;

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
        {"as many blocks as it holds", 1024, P::BlockAddress, "block 74:", [](Bytes& b) { Repoint(b, {16, 0, 8, 32}); }},
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
    // The hand-made layout both ways: what it decodes to encodes to the same bytes.
    const Bytes good = GoodFile();
    EXPECT_TRUE(EncodeBackupFile(*ParseBackupFile(good, 512).Content) == good);
}

// A folder of its own for each file operation.
class BackupFileWrite : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::u8string name = u8"backupfiletest-J\u00fcrgen-\u30c0\u30a4\u30d6-";
        for (const char c : std::to_string(::getpid())) name += static_cast<char8_t>(c);
        ASSERT_EQ(dir_.filename(), fs::path(name)) << "the folder's name is read as UTF-8";
        fs::remove_all(dir_), fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    const fs::path dir_ = TestFolder("backupfiletest");
};

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

TEST_F(BackupFileWrite, GoesAsideWithoutOverwritingAndTellsTheTime)
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
    EXPECT_EQ(error.rfind("cannot move " + Utf8Of(backup), 0), 0u) << error;
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

#ifndef _WIN32  // the tool runs where the tests are built

// Files from `make` and damaged ones, as `info` shows them, and the exit codes.
TEST_F(BackupFileWrite, ProfiletoolMakesAndShowsBackups)
{
    const auto file = [&](const char* name, const Bytes& bytes) { return "'" + WriteBytes(dir_ / name, bytes).string() + "'"; };
    const std::string good = file("good.bin", GoodFile()), made = "'" + (dir_ / "made.bin").string() + "'";
    struct Case { std::string args; int exitCode; std::string output; };  // a final '*': anything after
    const Case cases[] = {
        {"info " + good, 0, "size=266274\nserial=004711\nstart=16\nend=596\nblocks=73\nvalid=yes\n"},
        {"info " + file("small.bin", Bytes(100)), 1, "size=100\nvalid=no\nproblem=the file has 100 bytes*"},
        {"make " + made + " --memory-size 1024 --wrapped --blocks 3 --seed 9", 0, ""},
        {"info --memory-size 1024 " + made, 0, "size=266274\nserial=004711\nstart=48\nend=8159\nblocks=1018\nvalid=yes\n"},
        {"make " + made + " --memory-size 1024 --blocks 1024", 2, ""},  // the pointers fit, the memory not
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

}  // namespace
