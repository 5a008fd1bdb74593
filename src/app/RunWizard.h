#pragma once

#include <functional>

class QApplication;

namespace pelora {

class EarlyStart;
class PortFinder;

// Builds the real services around the window, runs start-up and, when the
// window may be shown, the event loop. Returns the program's exit code.
// `early` holds what was prepared while Qt started (the language database).
// `beforeEnd` runs just before the program ends through its closing sequence;
// a `languageColumn` above 0 replaces the configuration's language column.
int RunWizard(QApplication& application, PortFinder& portFinder, EarlyStart& early,
              std::function<void()> beforeEnd = {}, int languageColumn = 0);

}  // namespace pelora
