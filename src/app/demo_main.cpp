// The wizard with an emulated dive computer in place of the cable, so that
// anyone can walk through it. The device runs as pelora-sim on a
// pseudo-terminal and wakes from Deep Sleep by itself a few seconds after the
// sleep command. `--port PATH` uses that serial device instead;
// `--language COLUMN` shows the texts of that language column.
#include "EarlyStart.h"
#include "RunWizard.h"
#include "link/PortFinder.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>
#include <QProcess>

#include <csignal>
#include <cstdio>
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

// The column of --language: a whole number from 1; one the language file
// lacks is reported by the start-up.
std::optional<int> LanguageColumn(const QString& value)
{
    bool isNumber = false;
    const int column = value.toInt(&isNumber);
    if (!isNumber || column < 1) return std::nullopt;
    return column;
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
    options.addOption({"language",
                       "Show the texts of language column <column> (1 English, 2 German, 3 French, 4 Italian, "
                       "5 Spanish, or a column added to the language file) instead of the configured one.",
                       "column"});
    options.process(application);
    int languageColumn = 0;
    if (options.isSet("language")) {
        const auto column = LanguageColumn(options.value("language"));
        if (!column) {
            std::fprintf(stderr,
                         "pelora-update-demo: --language wants a language column from 1 (1 English, 2 German, "
                         "3 French, 4 Italian, 5 Spanish), not \"%s\".\n",
                         qPrintable(options.value("language")));
            return 1;
        }
        languageColumn = *column;
    }

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
    const int exitCode = pelora::RunWizard(application, portFinder, early, stopDevice, languageColumn);
    stopDevice();
    return exitCode;
}
