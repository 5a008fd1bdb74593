#pragma once

#include <string>

class QTranslator;

namespace pelora {

// Loads Qt's own texts (the message boxes' buttons) for this language code,
// such as "de", from Qt's translations folder into `translator` and installs
// it for the whole program. False, and nothing installed, when Qt has no
// translation for the code: Qt then keeps its English texts.
bool InstallQtTexts(QTranslator& translator, const std::string& languageCode);

}  // namespace pelora
