#pragma once

#include "link/PortFinder.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/EventPump.h"
#include "platform/Launcher.h"
#include "platform/LocalTime.h"
#include "platform/ProcessPriority.h"
#include "platform/SerialPort.h"
#include "profile/ProfileKeeper.h"
#include "texts/LanguageDb.h"

#include <functional>
#include <string>

namespace pelora {

// Everything the window needs from outside. The programs pass the real
// services; tests pass the emulator's port, clock and pump and recording fakes.
struct WizardServices {
    SerialPort& port;
    Clock& clock;
    EventPump& pump;
    PortFinder& portFinder;
    ProcessPriority& priority;
    Launcher& launcher;
    // The message boxes; null means the window's own.
    Dialogs* dialogs = nullptr;
    std::string applicationFolder;  // UTF-8, as every path the program carries
    std::string configurationString;
    // Ends the program at once with this exit code; it does not return.
    std::function<void(int)> endProgram;
    // The local date and time (device clock, names of moved files).
    LocalTime& localTime;
    // Where backup files go; none at all means applicationFolder alone, an
    // empty program folder beside a user's folder the user's folder alone.
    BackupFolders backupFolders;
    // Unlocks the language database; empty means LanguageDb::Unlock, here
    // and now. The program passes a database unlocked while it started.
    std::function<UnlockedLanguageDb(const std::string& path, const std::string& password)> unlockTexts = {};
    // The language column of the texts; 0 means the configuration's.
    int languageColumn = 0;
};

}  // namespace pelora
