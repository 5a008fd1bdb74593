// pelora-sim served on its pseudo-terminal, driven by a plain POSIX client.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

bool WaitReadable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

// pelora-sim with the given options; `path` is the first line of its output.
struct SimProcess {
    explicit SimProcess(std::vector<std::string> options) {
        int out[2];
        if (pipe(out) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv{const_cast<char*>(PELORA_SIM_EXECUTABLE)};
            for (auto& option : options) argv.push_back(option.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        char c = 0;
        while (WaitReadable(out[0], 10000) && read(out[0], &c, 1) == 1 && c != '\n') path += c;
        close(out[0]);
    }
    ~SimProcess() { Stop(); }
    int Stop() {  // the exit status; -1 when there is no process left to stop
        int status = -1;
        if (pid > 0 && kill(pid, SIGTERM) == 0) waitpid(pid, &status, 0);
        pid = -1;
        return status;
    }

    std::string path;
    pid_t pid = -1;
};

// Reads until `count` bytes came or the device stayed quiet for `quietMs`
// (by default a guard against hanging, not a timing check).
Bytes Ask(int fd, const Bytes& request, std::size_t count, int quietMs = 10000) {
    if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) return {};
    Bytes reply;
    std::uint8_t buffer[256];
    for (ssize_t n = 0; reply.size() < count && WaitReadable(fd, quietMs) && (n = read(fd, buffer, sizeof buffer)) > 0;)
        reply.insert(reply.end(), buffer, buffer + n);
    return reply;
}

}  // namespace

// The pty is raw by the server's doing; options reach the device; after the
// reopen, each region's restart time and --keep-memory: back 0.3 s after
// region 1 with the logbook still there, still silent 0.9 s after region 2.
// The cable's chip holds the replies' rests, and the server wakes to send them.
TEST(PeloraSimPty, AnswersOnItsPtyAcrossAReopenAndDumpsTheMemoryAtExit) {
    const std::string dump = testing::TempDir() + "pelora-sim-dump.mem";
    std::remove(dump.c_str());
    SimProcess sim({"--serial", "123456", "--version", "1A", "--memory-size", "1024", "--fault", "reject:84,1",
                    "--dump-memory", dump, "--restart-seconds", "0.3,1.5", "--keep-memory", "--latency-timer", "16"});
    ASSERT_FALSE(sim.path.empty());

    int fd = open(sim.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(WaitReadable(fd, 100));  // it does not speak first
    EXPECT_EQ(Ask(fd, {0x84, 0x00}, 1), Bytes{0xA5});
    Bytes reply = Ask(fd, {0x84, 0x00}, 18);
    ASSERT_EQ(reply.size(), 18u);
    EXPECT_EQ(std::string(reply.begin(), reply.begin() + 17), "ZPELORA 1D-V1A H2");
    close(fd);

    fd = open(sim.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    reply = Ask(fd, {0xB4, 0x00, 0x00, 0x00}, 129);
    ASSERT_EQ(reply.size(), 129u);
    EXPECT_EQ(Bytes(reply.begin() + 11, reply.begin() + 14), (Bytes{0x12, 0x34, 0x56}));
    const Bytes logbook = Ask(fd, {0xB4, 0x00, 0x10, 0x00}, 129);
    ASSERT_EQ(logbook.size(), 129u);
    ASSERT_EQ(Ask(fd, {0xB6, 0x00, 0x00, 0x00}, 1), Bytes{0x5A});
    usleep(600000);
    EXPECT_EQ(Ask(fd, {0xB4, 0x00, 0x10, 0x00}, 129, 1000), logbook);
    ASSERT_EQ(Ask(fd, {0xB9, 0x00, 0x00, 0x00}, 1), Bytes{0x5A});
    usleep(600000);
    EXPECT_TRUE(Ask(fd, {0xBA, 0x00}, 2, 300).empty());
    close(fd);

    const int status = sim.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    struct stat info {};
    ASSERT_EQ(stat(dump.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 1024 * 128);
    std::remove(dump.c_str());
}

TEST(PeloraSimPty, RefusesAnUnreadableFaultOrTimer) {
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"--fault", "explode"}, {"--latency-timer", "256"}}) {
        SimProcess sim(options);
        EXPECT_TRUE(sim.path.empty()) << options[0];
        EXPECT_EQ(WEXITSTATUS(sim.Stop()), 2) << options[0];
    }
}
