#pragma once

#include "platform/Dialogs.h"

class QWidget;

namespace pelora {

// The window's message boxes.
class MessageBoxDialogs : public Dialogs {
public:
    explicit MessageBoxDialogs(QWidget* parent) : parent_(parent) {}
    Answer Show(Icon icon, Buttons buttons, const std::string& title, const std::string& text) override;
    Answer Ask(Icon icon, Buttons buttons, const std::string& title, const std::string& text, Answer keeps) override;

private:
    QWidget* parent_;
};

}  // namespace pelora
