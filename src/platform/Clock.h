#pragma once

namespace pelora {

// Monotonic seconds. Waits are measured on this clock, so a wait that spans
// midnight (or a change of the system time) is not cut short.
class Clock {
public:
    virtual ~Clock() = default;
    virtual double Now() = 0;
    // A pause that lets no event run: received bytes wait in the port until
    // the next EventPump::Yield.
    virtual void Sleep(double seconds) = 0;
};

}  // namespace pelora
