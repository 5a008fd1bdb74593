#pragma once

namespace pelora {

// Lets queued events run (received bytes, button clicks) and waits for the
// next one, but never beyond `deadline` (a Clock::Now() value). Never spins.
class EventPump {
public:
    virtual ~EventPump() = default;
    virtual void Yield(double deadline) = 0;
};

}  // namespace pelora
