#pragma once

#include <string>

namespace pelora {

// Modal message boxes. The window shows them; tests script the answers.
class Dialogs {
public:
    enum class Icon { Stop, Exclamation, Information, Question };
    enum class Buttons { Ok, OkCancel, YesNo };
    enum class Answer { Ok, Cancel, Yes, No };

    virtual ~Dialogs() = default;
    virtual Answer Show(Icon icon, Buttons buttons, const std::string& title, const std::string& text) = 0;
};

}  // namespace pelora
