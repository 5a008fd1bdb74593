#include "platform/QtEventPump.h"

#include <QAbstractEventDispatcher>
#include <QThread>

#include <cmath>

namespace pelora {

QtEventPump::QtEventPump(Clock& clock) : clock_(clock)
{
    wake_.setSingleShot(true);
    wake_.setTimerType(Qt::PreciseTimer);
}

void QtEventPump::Yield(double deadline)
{
    auto* dispatcher = QAbstractEventDispatcher::instance(QThread::currentThread());
    if (!dispatcher) return;
    const double remaining = deadline - clock_.Now();
    if (remaining <= 0.0) {
        dispatcher->processEvents(QEventLoop::AllEvents);
        return;
    }
    // The timer only wakes the dispatcher at the deadline; any earlier event
    // (received bytes, a click) ends the wait first. Round up so the wait
    // never ends before the deadline.
    const double ms = std::ceil(remaining * 1000.0);
    wake_.start(ms > 2e9 ? 2000000000 : static_cast<int>(ms));
    dispatcher->processEvents(QEventLoop::WaitForMoreEvents);
    wake_.stop();
}

}  // namespace pelora
