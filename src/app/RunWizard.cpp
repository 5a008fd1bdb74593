#include "RunWizard.h"
#include "EarlyStart.h"

#include "platform/Launcher.h"
#include "platform/LocalTime.h"
#include "platform/ProcessPriority.h"
#include "platform/QtEventPump.h"
#include "platform/QtSerialPort.h"
#include "platform/SteadyClock.h"
#include "platform/StringTable.h"
#include "platform/Utf8Path.h"
#include "texts/Configuration.h"
#include "texts/LanguageDb.h"
#include "wizard/MFUMain.h"
#include "wizard/Skin.h"

#include <QApplication>
#include <QStandardPaths>

#include <cstdlib>

namespace pelora {

int RunWizard(QApplication& application, PortFinder& portFinder, EarlyStart& early,
              std::function<void()> beforeEnd, int languageColumn)
{
    ApplySkin(application);
    QtSerialPort port;
    SteadyClock clock;
    QtEventPump pump(clock);
    SystemProcessPriority priority;
    SystemLauncher launcher;
    SystemLocalTime localTime;
    const std::string folder = QCoreApplication::applicationDirPath().toStdString();
    // Backups go beside the program, or where the user's own data for this
    // program lives when the program's folder is not writable. An installed
    // program (its files in ../share) never writes beside itself: that is a
    // system folder such as /usr/bin, writable to root but no place for a
    // diver's files.
    const DataFile texts = FindDataFile(folder, LanguageDb::FileName);
    const bool ownFolder = texts.Path == texts.Places[0];
    const BackupFolders backupFolders{
        ownFolder ? PathFromUtf8(folder) : std::filesystem::path(),
        PathFromUtf8(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation).toStdString())};

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
                            folder,
                            LoadString(ConfigurationString),
                            endProgram,
                            localTime,
                            backupFolders,
                            [&early](const std::string& path, const std::string& password) {
                                return early.TakeTexts(path, password);
                            },
                            languageColumn};

    MFUMain window(std::move(services));
    if (!window.Form_Load()) {
        if (beforeEnd) beforeEnd();
        return window.ExitCode();
    }
    window.show();
    return application.exec();
}

}  // namespace pelora
