#pragma once

#include <functional>

class QApplication;

namespace pelora {

class EarlyStart;
class PortFinder;

// Builds the real services around the window, runs start-up and, when the
// window may be shown, the event loop. Returns the program's exit code.
// `early` holds what was prepared while Qt started (the language database).
// `beforeEnd` runs just before the program ends through its closing sequence.
int RunWizard(QApplication& application, PortFinder& portFinder, EarlyStart& early,
              std::function<void()> beforeEnd = {});

}  // namespace pelora
