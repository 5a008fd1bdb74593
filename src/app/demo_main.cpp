// The wizard with an emulated dive computer in place of the cable, so that
// anyone can walk through it. The device runs as pelora-sim on a
// pseudo-terminal and wakes from Deep Sleep by itself a few seconds after the
// sleep command. `--port PATH` uses that serial device instead.
#include "EarlyStart.h"
#include "RunWizard.h"
#include "link/PortFinder.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>
#include <QProcess>

#include <csignal>
#include <optional>
#include <string>

#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace {

class FixedPortFinder : public pelora::PortFinder {
public:
    explicit FixedPortFinder(std::string port) : port_(std::move(port)) {}
    std::optional<std::string> FindInterfacePort() override { return port_; }

private:
    std::string port_;
};

// Starts pelora-sim from the program's folder and returns its pty path.
std::optional<std::string> StartEmulatedDevice(QProcess& device, QString* error)
{
    device.setProgram(QCoreApplication::applicationDirPath() + "/pelora-sim");
    device.setArguments({"--auto-wake", "4"});
    device.setProcessChannelMode(QProcess::ForwardedErrorChannel);
#ifdef __linux__
    // The device goes when the demo goes, however it ends.
    device.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
    device.start();
    if (!device.waitForStarted(5000)) {
        *error = "The emulated dive computer (pelora-sim) could not be started: " + device.errorString();
        return std::nullopt;
    }
    while (!device.canReadLine()) {
        if (!device.waitForReadyRead(5000)) {
            *error = "The emulated dive computer did not report its serial port.";
            return std::nullopt;
        }
    }
    const QString path = QString::fromUtf8(device.readLine()).trimmed();
    if (path.isEmpty()) {
        *error = "The emulated dive computer reported no serial port.";
        return std::nullopt;
    }
    return path.toStdString();
}

}  // namespace

int main(int argc, char** argv)
{
    pelora::EarlyStart early;  // first: it runs while Qt starts
    QApplication application(argc, argv);
    QCommandLineParser options;
    options.setApplicationDescription("Pelora 1D Firmware Update with an emulated dive computer");
    options.addHelpOption();
    options.addOption({"port", "Use the serial device <path> instead of the emulated dive computer.", "path"});
    options.process(application);

    QProcess device;
    std::string port = options.value("port").toStdString();
    if (port.empty()) {
        QString error;
        const auto devicePort = StartEmulatedDevice(device, &error);
        if (!devicePort) {
            QMessageBox::critical(nullptr, "Pelora 1D Firmware Update", error);
            return 1;
        }
        port = *devicePort;
    }
    FixedPortFinder portFinder(port);
    auto stopDevice = [&device] {
        if (device.state() != QProcess::NotRunning) {
            device.terminate();
            device.waitForFinished(2000);
        }
    };
    const int exitCode = pelora::RunWizard(application, portFinder, early, stopDevice);
    stopDevice();
    return exitCode;
}
