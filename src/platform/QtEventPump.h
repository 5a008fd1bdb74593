#pragma once

#include "platform/Clock.h"
#include "platform/EventPump.h"

#include <QTimer>

namespace pelora {

// Runs the Qt event loop of the calling thread until at least one event has
// been handled or the deadline (on `clock`) has passed. Sleeps meanwhile.
class QtEventPump : public EventPump {
public:
    explicit QtEventPump(Clock& clock);
    void Yield(double deadline) override;

private:
    Clock& clock_;
    QTimer wake_;
};

}  // namespace pelora
