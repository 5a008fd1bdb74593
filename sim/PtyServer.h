#pragma once

#include <string>

#include "sim/Device.h"

namespace sim {

// Serves the device on a pseudo-terminal in real time. The device only ever
// speaks after it has heard a frame, so nothing is sent before a program
// has opened the port. A slave descriptor stays open here, so a program that
// closes and reopens the port finds the device still serving.
class PtyServer {
public:
    explicit PtyServer(Device& device) : device_(device) {}
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    // Creates the pty in raw mode; false with a reason on failure.
    bool Open(std::string* error);
    const std::string& SlavePath() const { return slavePath_; }
    // Serves until `stopFd` becomes readable (the signal handler writes to
    // it). Sleeps in poll() while nothing is due.
    void Serve(int stopFd);

private:
    double Elapsed() const;

    Device& device_;
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    double start_ = 0.0;
};

}  // namespace sim
