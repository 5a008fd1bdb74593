#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/EventPump.h"
#include "platform/SerialPort.h"
#include "sim/Device.h"

namespace sim {

// Runs product code against the emulated device on a virtual clock: a
// 22-second time-out costs microseconds and every byte carries an exact time.
//
// Port(): Open() succeeds unless SetPortOpenFailure() was called; Open() and
//   ClearInput() discard received bytes not yet delivered. Write() records the
//   bytes (Writes()) and puts them on the line to the device; it returns false
//   and records nothing while the port is closed. Received bytes reach the data
//   handler only inside Pump().Yield(), one call per reply chunk, never inside
//   Write() or Clock().Sleep(). Replies that arrive while the port is closed
//   are lost. Write() also fails while the port refuses writes
//   (RefuseNextWrites, RefuseWritesFrom: the port stays open, nothing is
//   sent or recorded). PortGoneAt(t, s) is a pulled cable: at t the port
//   closes (IsOpen() false), bytes not yet delivered are lost, writes fail,
//   and Open() fails with "device not found" until t + s. PortTrace() spells
//   the calls in order: 'i' ClearInput, 'o' ClearOutput, 'w' a write sent.
// Clock(): virtual monotonic seconds from 0. Sleep(s) advances time and
//   delivers nothing.
// Pump().Yield(deadline): runs the idle hook, then runs due scheduled actions
//   and delivers due bytes. If nothing was due it advances virtual time to the
//   next device event, scheduled action, the port going or the deadline,
//   whichever is first, and then runs/delivers what became due. A deadline
//   that has already passed still moves time on by MinimumStep, so a polling
//   loop always ends.
class VirtualHarness {
public:
    static constexpr double MinimumStep = 1e-4;

    explicit VirtualHarness(DeviceConfig config = {});
    ~VirtualHarness();
    VirtualHarness(const VirtualHarness&) = delete;
    VirtualHarness& operator=(const VirtualHarness&) = delete;

    pelora::SerialPort& Port();
    pelora::Clock& Clock();
    pelora::EventPump& Pump();
    Device& Dev();
    sim::Faults& Faults();

    void SetWireTiming(bool on);
    const std::vector<WireRecord>& Writes() const;
    const std::string& PortTrace() const;
    const std::vector<WireRecord>& Replies() const;   // what the device sent
    const std::vector<WireRecord>& Frames() const;    // what the device parsed
    void At(double time, std::function<void()> action);
    void SetIdleHook(std::function<void()> hook);
    void SetPortOpenFailure(std::string reason);
    void RefuseNextWrites(int count);
    void RefuseWritesFrom(double time);
    void PortGoneAt(double time, double duration = Forever);
    void WakeDevice();
    double Now() const;

    // Port settings as the product left them.
    const std::string& PortName() const;
    int BaudRate() const;
    bool PortIsOpen() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim
