#include "platform/SteadyClock.h"

#include <thread>

namespace pelora {

double SteadyClock::Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - origin_).count();
}

void SteadyClock::Sleep(double seconds)
{
    if (seconds > 0.0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

}  // namespace pelora
