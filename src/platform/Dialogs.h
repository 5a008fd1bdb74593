#pragma once

#include <string>

namespace pelora {

// Modal message boxes. The window shows them; tests script the answers.
class Dialogs {
public:
    enum class Icon { Stop, Exclamation, Information, Question };
    // YesNo boxes default to Yes. YesNoDefaultNo defaults to No, for
    // questions whose Yes stops something: Enter pressed in a hurry must not.
    enum class Buttons { Ok, OkCancel, YesNo, YesNoDefaultNo };
    enum class Answer { Ok, Cancel, Yes, No };

    virtual ~Dialogs() = default;
    // Esc and the box's close button answer Cancel (No for Yes and No).
    virtual Answer Show(Icon icon, Buttons buttons, const std::string& title, const std::string& text) = 0;
    // A question whose answers differ in what they keep of the diver's data:
    // Esc and the box's close button give `keeps`, so a box dismissed in a
    // hurry never destroys anything.
    virtual Answer Ask(Icon icon, Buttons buttons, const std::string& title, const std::string& text, Answer keeps)
    {
        (void)keeps;
        return Show(icon, buttons, title, text);
    }
};

}  // namespace pelora
