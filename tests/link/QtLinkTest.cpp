// The real port and event pump against pelora-sim's pseudo-terminal, in real
// time. No time limits are asserted beyond "well before the deadline".
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

TEST(RealLink, PumpPortAndTransactionsOverThePseudoTerminal)
{
    static int argc = 1;
    static char* argv[] = {const_cast<char*>("link_tests"), nullptr};
    QCoreApplication app(argc, argv);
    pelora::SteadyClock clock;
    pelora::QtEventPump pump{clock};
    pelora::QtSerialPort port;
    pelora::CommModule comm{port, clock, pump};

    bool ran = false;
    QMetaObject::invokeMethod(&app, [&ran] { ran = true; }, Qt::QueuedConnection);
    const double deadline = clock.Now() + 30.0;
    for (int i = 0; i < 10 && !ran; ++i) pump.Yield(deadline);
    EXPECT_TRUE(ran && clock.Now() < deadline) << "the pump woke for the event, not at the deadline";

    port.SetPortName("/dev/pelora-no-such-port");
    std::string error;
    EXPECT_TRUE(!port.Open(&error) && error.find("not found") != std::string::npos) << error;
    EXPECT_FALSE(port.Write(std::vector<std::uint8_t>{0x84, 0x00}));

    QProcess sim;  // prints its pty path on its first line
    sim.start(PELORA_SIM_EXECUTABLE, {"--wire-timing", "--revision", "3"});
    ASSERT_TRUE(sim.waitForStarted(5000));
    while (!sim.canReadLine() && sim.waitForReadyRead(5000)) {}
    port.SetPortName(QString::fromUtf8(sim.readLine()).trimmed().toStdString());
    port.SetBaudRate(38400);
    ASSERT_TRUE(port.Open(&error)) << error;
#ifdef __linux__
    // A pseudo-terminal has no latency timer to shorten: the port is used as it is, and says so.
    EXPECT_NE(port.LatencyNote().find("used as it is"), std::string::npos) << port.LatencyNote();
#endif
    auto& s = comm.State();
    s.ResizeReceiveBuffers(512 * 136 + 2);
    ASSERT_TRUE(comm.ReadDeviceId());
    EXPECT_EQ(comm.ReadCodeRevision(), 3);

    // A logbook block, reversed and written back as a profile block, reads back the same.
    comm.ReadMemoryBlocks(16, 16);
    std::reverse_copy(s.RxBuf.begin() + 1, s.RxBuf.begin() + 129, s.BlockBuf.begin());
    s.BlockBuf[128] = static_cast<std::uint8_t>(std::accumulate(s.BlockBuf.begin(), s.BlockBuf.begin() + 128, 0u));
    comm.WriteBlock(32 - 16, 0xB5);
    comm.ReadMemoryBlocks(32, 32);
    EXPECT_TRUE(std::equal(s.BlockBuf.begin(), s.BlockBuf.begin() + 128, s.RxBuf.begin() + 1) && !s.CommFailed);

    // A vanished device never crashes: the pty master is gone, the port closes
    // itself and refuses writes, which the transactions meet on their error paths.
    sim.terminate();
    sim.waitForFinished(5000);
    for (int i = 0; i < 20 && port.IsOpen(); ++i) pump.Yield(clock.Now() + 0.05);
    EXPECT_FALSE(port.IsOpen());
    comm.ReadMemoryBlocks(16, 16);
    EXPECT_TRUE(s.LinkAbort);
    EXPECT_THROW(comm.ReadDeviceId(), pelora::LinkRuntimeError);
}

}  // namespace
