// The real port and event pump against pelora-sim's pseudo-terminal, in real
// time. No time limits are asserted.
#include "link/CommModule.h"
#include "platform/QtEventPump.h"
#include "platform/QtSerialPort.h"
#include "platform/SteadyClock.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>

#include <algorithm>
#include <numeric>

namespace {

QCoreApplication& App()
{
    static int argc = 1;
    static char name[] = "link_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    return *app;
}

// pelora-sim on a pty: started here, its pty path read from its first line.
class SimProcess {
public:
    explicit SimProcess(QStringList arguments = {})
    {
        process_.setProgram(PELORA_SIM_EXECUTABLE);
        process_.setArguments(arguments);
        process_.setProcessChannelMode(QProcess::SeparateChannels);
        process_.start();
        if (!process_.waitForStarted(5000)) return;
        while (!process_.canReadLine() && process_.waitForReadyRead(5000)) {}
        path_ = QString::fromUtf8(process_.readLine()).trimmed().toStdString();
    }
    ~SimProcess() { Stop(); }

    void Stop()
    {
        if (process_.state() == QProcess::NotRunning) return;
        process_.terminate();
        if (!process_.waitForFinished(5000)) process_.kill();
        process_.waitForFinished(5000);
    }
    const std::string& Path() const { return path_; }

private:
    QProcess process_;
    std::string path_;
};

class RealLink : public ::testing::Test {
protected:
    RealLink() { App(); }

    pelora::SteadyClock clock;
    pelora::QtEventPump pump{clock};
    pelora::QtSerialPort port;
    pelora::CommModule comm{port, clock, pump};
};

TEST_F(RealLink, TransactionsOverThePseudoTerminal)
{
    SimProcess sim({"--wire-timing", "--revision", "3"});
    ASSERT_FALSE(sim.Path().empty()) << "pelora-sim printed no pty path";
    port.SetPortName(sim.Path());
    port.SetBaudRate(38400);
    std::string error;
    ASSERT_TRUE(port.Open(&error)) << error;
    auto& state = comm.State();
    state.ResizeReceiveBuffers(512 * 136 + 2);

    ASSERT_TRUE(comm.ReadDeviceId());
    EXPECT_TRUE(comm.CheckDeviceId(comm.DeviceIdText, "PELORA"));
    EXPECT_EQ(comm.DeviceCodeVersion, "1B");
    EXPECT_EQ(comm.ReadCodeRevision(), 3);

    // A logbook block, reversed and written back as a profile block, reads back the same.
    comm.ReadMemoryBlocks(16, 16);
    EXPECT_FALSE(state.CommFailed);
    std::reverse_copy(state.RxBuf.begin() + 1, state.RxBuf.begin() + 129, state.BlockBuf.begin());
    const unsigned sum = std::accumulate(state.BlockBuf.begin(), state.BlockBuf.begin() + 128, 0u);
    state.BlockBuf[128] = static_cast<std::uint8_t>(sum);
    comm.WriteBlock(32 - 16, 0xB5);
    EXPECT_FALSE(state.CommFailed);
    comm.ReadMemoryBlocks(32, 32);
    EXPECT_FALSE(state.CommFailed);
    EXPECT_TRUE(std::equal(state.BlockBuf.begin(), state.BlockBuf.begin() + 128, state.RxBuf.begin() + 1));

    comm.SetDeviceClock("12/31/26", "13:05:09", 233);
    EXPECT_FALSE(state.CommFailed);
    EXPECT_TRUE(comm.SetSleepMode());

    // A vanished device never crashes: the pty master is gone, the port closes
    // itself and refuses writes, which the transactions meet on their error paths.
    sim.Stop();
    for (int i = 0; i < 20 && port.IsOpen(); ++i) pump.Yield(clock.Now() + 0.05);
    EXPECT_FALSE(port.IsOpen());
    comm.ReadMemoryBlocks(16, 16);
    EXPECT_TRUE(state.LinkAbort);
    EXPECT_THROW(comm.ReadDeviceId(), pelora::LinkRuntimeError);
}

TEST_F(RealLink, PumpReturnsForAnEventBeforeItsDeadline)
{
    bool ran = false;
    QMetaObject::invokeMethod(QCoreApplication::instance(), [&ran] { ran = true; }, Qt::QueuedConnection);
    const double deadline = clock.Now() + 30.0;
    for (int i = 0; i < 10 && !ran; ++i) pump.Yield(deadline);
    EXPECT_TRUE(ran);
    EXPECT_LT(clock.Now(), deadline) << "woke for the event, not at the deadline";
}

TEST_F(RealLink, UnopenablePortGivesAReason)
{
    port.SetPortName("/dev/pelora-no-such-port");
    std::string error;
    EXPECT_FALSE(port.Open(&error));
    EXPECT_NE(error.find("not found"), std::string::npos) << error;
    EXPECT_FALSE(port.Write(std::vector<std::uint8_t>{0x84, 0x00}));
}

}  // namespace
