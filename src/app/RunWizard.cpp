#include "RunWizard.h"

#include "platform/Launcher.h"
#include "platform/ProcessPriority.h"
#include "platform/QtEventPump.h"
#include "platform/QtSerialPort.h"
#include "platform/SteadyClock.h"
#include "platform/StringTable.h"
#include "wizard/MFUMain.h"
#include "wizard/Skin.h"

#include <QApplication>

#include <cstdlib>

namespace pelora {

int RunWizard(QApplication& application, PortFinder& portFinder, std::function<void()> beforeEnd)
{
    ApplySkin(application);
    QtSerialPort port;
    SteadyClock clock;
    QtEventPump pump(clock);
    SystemProcessPriority priority;
    SystemLauncher launcher;

    // Close may be clicked while a transaction waits deep inside the event
    // loop; the program then ends from there, never returning to it.
    auto endProgram = [beforeEnd](int exitCode) {
        if (beforeEnd) beforeEnd();
        std::exit(exitCode);
    };
    WizardServices services{port,
                            clock,
                            pump,
                            portFinder,
                            priority,
                            launcher,
                            nullptr,
                            QCoreApplication::applicationDirPath().toStdString(),
                            LoadString(ConfigurationString),
                            endProgram,
                            {}};

    MFUMain window(std::move(services));
    if (!window.Form_Load()) {
        if (beforeEnd) beforeEnd();
        return window.ExitCode();
    }
    window.show();
    return application.exec();
}

}  // namespace pelora
