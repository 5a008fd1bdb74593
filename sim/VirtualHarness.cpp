#include "sim/VirtualHarness.h"

#include <algorithm>
#include <deque>

namespace sim {

struct VirtualHarness::Impl {
    struct Action {
        double time;
        long order;
        std::function<void()> run;
    };

    class Port final : public pelora::SerialPort {
    public:
        explicit Port(Impl& h) : h_(h) {}
        void SetPortName(const std::string& name) override { h_.portName = name; }
        void SetBaudRate(int baud) override { h_.baud = baud; }
        bool Open(std::string* error) override {
            h_.Collect();  // bytes that arrived while closed are gone
            if (h_.now < h_.absentUntil) {
                if (error) *error = "device not found";
                return false;
            }
            if (h_.openFailure || h_.open) {
                const std::string reason = h_.openFailure ? *h_.openFailure : "port already open";
                h_.openFailure.reset();
                if (error) *error = reason;
                return false;
            }
            h_.open = true;
            h_.inbox.clear();
            return true;
        }
        bool IsOpen() const override { return h_.open && !h_.GoneDue(); }
        void Close() override {
            h_.Collect();
            h_.open = false;
            h_.inbox.clear();
        }
        void ClearInput() override {
            h_.Collect();
            h_.inbox.clear();
            h_.portTrace += 'i';
        }
        // Bytes go onto the line at once; there is no output buffer to clear.
        void ClearOutput() override { h_.portTrace += 'o'; }
        bool Write(std::span<const std::uint8_t> bytes) override {
            if (h_.GoneDue()) h_.Collect();
            if (!h_.open) return false;
            if (h_.refuseWrites > 0) {
                --h_.refuseWrites;
                return false;
            }
            if (h_.now >= h_.refuseFrom) return false;
            h_.writes.push_back({h_.now, std::vector<std::uint8_t>(bytes.begin(), bytes.end())});
            h_.portTrace += 'w';
            h_.device.Receive(h_.now, bytes);
            return true;
        }
        void SetDataReceived(DataHandler handler) override { h_.handler = std::move(handler); }

    private:
        Impl& h_;
    };

    class VirtualClock final : public pelora::Clock {
    public:
        explicit VirtualClock(Impl& h) : h_(h) {}
        double Now() override { return h_.now; }
        void Sleep(double seconds) override { h_.now += std::max(seconds, 0.0); }

    private:
        Impl& h_;
    };

    class Pump final : public pelora::EventPump {
    public:
        explicit Pump(Impl& h) : h_(h) {}
        void Yield(double deadline) override { h_.Yield(deadline); }

    private:
        Impl& h_;
    };

    explicit Impl(DeviceConfig config) : device(std::move(config)), port(*this), clock(*this), pump(*this) {}

    // Lets the device catch up to now and moves what reached the port into
    // the inbox (or nowhere, while the port is closed). A port gone by now
    // is closed first, as the system closes it on a pulled cable: what was
    // not delivered is lost.
    void Collect() {
        device.AdvanceTo(now);
        if (GoneDue()) {
            open = false;
            inbox.clear();
            absentUntil = *goneAt + goneFor;
            goneAt.reset();
        }
        for (auto& chunk : device.TakeReplies(now))
            if (open) inbox.push_back(std::move(chunk));
    }

    bool GoneDue() const { return goneAt && now >= *goneAt; }

    std::optional<std::function<void()>> PopDueAction() {
        auto due = actions.end();
        for (auto it = actions.begin(); it != actions.end(); ++it)
            if (it->time <= now && (due == actions.end() || it->time < due->time ||
                                    (it->time == due->time && it->order < due->order)))
                due = it;
        if (due == actions.end()) return std::nullopt;
        auto run = std::move(due->run);
        actions.erase(due);
        return run;
    }

    bool RunDue() {
        bool any = false;
        Collect();
        while (auto action = PopDueAction()) {
            (*action)();
            any = true;
            Collect();
        }
        while (!inbox.empty()) {
            WireRecord chunk = std::move(inbox.front());
            inbox.pop_front();
            if (handler) handler(chunk.bytes);
            any = true;
        }
        return any;
    }

    void Yield(double deadline) {
        if (idleHook) idleHook();
        if (RunDue()) return;
        double target = deadline;
        if (const auto event = device.NextEventTime()) target = std::min(target, *event);
        for (const auto& action : actions) target = std::min(target, action.time);
        if (goneAt && open) target = std::min(target, *goneAt);
        now = target > now ? target : now + MinimumStep;
        RunDue();
    }

    Device device;
    double now = 0.0;
    Port port;
    VirtualClock clock;
    Pump pump;
    std::string portName;
    std::string portTrace;
    int baud = 9600;
    bool open = false;
    std::optional<std::string> openFailure;
    int refuseWrites = 0;
    double refuseFrom = Forever;
    std::optional<double> goneAt;
    double goneFor = 0.0;
    double absentUntil = -Forever;
    pelora::SerialPort::DataHandler handler;
    std::deque<WireRecord> inbox;
    std::vector<WireRecord> writes;
    std::vector<Action> actions;
    long nextOrder = 0;
    std::function<void()> idleHook;
};

VirtualHarness::VirtualHarness(DeviceConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}
VirtualHarness::~VirtualHarness() = default;

pelora::SerialPort& VirtualHarness::Port() { return impl_->port; }
pelora::Clock& VirtualHarness::Clock() { return impl_->clock; }
pelora::EventPump& VirtualHarness::Pump() { return impl_->pump; }
Device& VirtualHarness::Dev() { return impl_->device; }
sim::Faults& VirtualHarness::Faults() { return impl_->device.Faults(); }
void VirtualHarness::SetWireTiming(bool on) { impl_->device.SetWireTiming(on); }
const std::vector<WireRecord>& VirtualHarness::Writes() const { return impl_->writes; }
const std::string& VirtualHarness::PortTrace() const { return impl_->portTrace; }
const std::vector<WireRecord>& VirtualHarness::Replies() const { return impl_->device.Replies(); }
const std::vector<WireRecord>& VirtualHarness::Frames() const { return impl_->device.Frames(); }
void VirtualHarness::At(double time, std::function<void()> action) {
    impl_->actions.push_back({time, impl_->nextOrder++, std::move(action)});
}
void VirtualHarness::SetIdleHook(std::function<void()> hook) { impl_->idleHook = std::move(hook); }
void VirtualHarness::SetPortOpenFailure(std::string reason) { impl_->openFailure = std::move(reason); }
void VirtualHarness::RefuseNextWrites(int count) { impl_->refuseWrites = std::max(count, 0); }
void VirtualHarness::RefuseWritesFrom(double time) { impl_->refuseFrom = time; }
void VirtualHarness::PortGoneAt(double time, double duration) {
    impl_->goneAt = time;
    impl_->goneFor = std::max(duration, 0.0);
}
void VirtualHarness::WakeDevice() { impl_->device.Wake(impl_->now); }
double VirtualHarness::Now() const { return impl_->now; }
const std::string& VirtualHarness::PortName() const { return impl_->portName; }
int VirtualHarness::BaudRate() const { return impl_->baud; }
bool VirtualHarness::PortIsOpen() const { return impl_->open; }

}  // namespace sim
