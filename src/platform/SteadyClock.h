#pragma once

#include "platform/Clock.h"

#include <chrono>

namespace pelora {

// Clock on std::chrono::steady_clock: seconds since the object was made.
class SteadyClock : public Clock {
public:
    double Now() override;
    void Sleep(double seconds) override;

private:
    std::chrono::steady_clock::time_point origin_ = std::chrono::steady_clock::now();
};

}  // namespace pelora
