#include "sim/PtyServer.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace sim {
namespace {

double SteadySeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

PtyServer::~PtyServer() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
}

bool PtyServer::Open(std::string* error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const char* name = ptsname(master_);
    if (!name) {
        *error = std::string("no pseudo-terminal name: ") + std::strerror(errno);
        return false;
    }
    slavePath_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY);
    if (slave_ < 0) {
        *error = std::string("cannot open ") + slavePath_ + ": " + std::strerror(errno);
        return false;
    }
    termios raw{};
    if (tcgetattr(slave_, &raw) == 0) {
        cfmakeraw(&raw);
        cfsetispeed(&raw, B38400);
        cfsetospeed(&raw, B38400);
        tcsetattr(slave_, TCSANOW, &raw);
    }
    // A reply written while no program reads must never block the device.
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    start_ = SteadySeconds();
    return true;
}

double PtyServer::Elapsed() const { return SteadySeconds() - start_; }

void PtyServer::Serve(int stopFd) {
    std::uint8_t buffer[4096];
    for (;;) {
        const double now = Elapsed();
        device_.AdvanceTo(now);
        for (const auto& chunk : device_.TakeReplies(now)) {
            // A full pty buffer means nobody reads: the reply is lost, as on
            // a cable nobody listens to.
            [[maybe_unused]] const ssize_t written = write(master_, chunk.bytes.data(), chunk.bytes.size());
        }

        // Sleeps to the microsecond: whole milliseconds would hold every
        // reply back by up to one, which the wire-timed benchmarks would see.
        timespec timeout{};
        const timespec* wait = nullptr;
        if (const auto next = device_.NextEventTime()) {
            const double seconds = std::clamp(*next - Elapsed(), 0.0, 60.0);
            const auto micros = static_cast<long>(std::ceil(seconds * 1e6));
            timeout = {micros / 1000000, (micros % 1000000) * 1000};
            wait = &timeout;
        }
        pollfd fds[2] = {{master_, POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int ready = ppoll(fds, 2, wait, nullptr);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if (fds[0].revents & POLLIN) {
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n > 0) {
                device_.Receive(Elapsed(), std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)));
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                // Should not happen while our own slave descriptor is open;
                // wait instead of spinning on the error.
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}

}  // namespace sim
