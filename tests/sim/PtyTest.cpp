// pelora-sim served on its pseudo-terminal, driven by a plain POSIX client.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "RawLink.h"

namespace {

using simtest::Bytes;

// Reads until `count` bytes came or the device stayed quiet for 10 s.
Bytes Ask(int fd, const Bytes& request, std::size_t count) {
    Bytes reply;
    std::uint8_t buffer[256];
    pollfd readable{fd, POLLIN, 0};
    if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) return reply;
    for (ssize_t n = 0; reply.size() < count && poll(&readable, 1, 10000) > 0 && (n = read(fd, buffer, 256)) > 0;)
        reply.insert(reply.end(), buffer, buffer + n);
    return reply;
}

}  // namespace

// The pty is raw and passes every byte, also after the program reopened it;
// the options reach the device; the server wakes for the chip's held bytes.
TEST(PeloraSimPty, AnswersOnItsRawPtyAcrossAReopen) {
    FILE* sim = popen("echo $$; exec " PELORA_SIM_EXECUTABLE " --serial 123456 --version 1A --memory-size 1024"
                      " --fault reject:84,1 --latency-timer 16", "r");
    int pid = 0;
    char path[256];
    ASSERT_TRUE(sim && fscanf(sim, "%d %255s", &pid, path) == 2);
    int fd = open(path, O_RDWR | O_NOCTTY);
    EXPECT_EQ(Ask(fd, {0x84, 0x00}, 1), Bytes{0xA5});  // and nothing before it
    EXPECT_EQ(Ask(fd, {0x84, 0x00}, 18), simtest::IdReply("PELORA 1D-V1A H2"));
    close(fd);
    fd = open(path, O_RDWR | O_NOCTTY);
    const Bytes block0 = Ask(fd, {0xB4, 0x00, 0x00, 0x00}, 129);
    EXPECT_TRUE(block0.size() == 129 && block0[11] == 0x12 && block0[12] == 0x34 && block0[13] == 0x56);
    close(fd);
    kill(pid, SIGTERM);
    EXPECT_EQ(pclose(sim), 0);  // it exits, and with 0, on SIGTERM
}
