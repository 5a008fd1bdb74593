#include "MessageBoxDialogs.h"

#include <QAbstractButton>
#include <QMessageBox>

namespace pelora {

namespace {

QMessageBox::StandardButton ButtonOf(Dialogs::Answer answer)
{
    switch (answer) {
    case Dialogs::Answer::Ok: return QMessageBox::Ok;
    case Dialogs::Answer::Cancel: return QMessageBox::Cancel;
    case Dialogs::Answer::Yes: return QMessageBox::Yes;
    case Dialogs::Answer::No: return QMessageBox::No;
    }
    return QMessageBox::Cancel;
}

}  // namespace

Dialogs::Answer MessageBoxDialogs::Show(Icon icon, Buttons buttons, const std::string& title, const std::string& text)
{
    const Answer dismissed = buttons == Buttons::Ok         ? Answer::Ok
                             : buttons == Buttons::OkCancel ? Answer::Cancel
                                                            : Answer::No;
    return Ask(icon, buttons, title, text, dismissed);
}

Dialogs::Answer MessageBoxDialogs::Ask(Icon icon, Buttons buttons, const std::string& title, const std::string& text,
                                       Answer keeps)
{
    QMessageBox box(parent_);
    box.setWindowTitle(QString::fromStdString(title));
    box.setText(QString::fromStdString(text).replace("\r\n", "\n"));
    switch (icon) {
    case Icon::Stop: box.setIcon(QMessageBox::Critical); break;
    case Icon::Exclamation: box.setIcon(QMessageBox::Warning); break;
    case Icon::Information: box.setIcon(QMessageBox::Information); break;
    case Icon::Question: box.setIcon(QMessageBox::Question); break;
    }
    switch (buttons) {
    case Buttons::Ok: box.setStandardButtons(QMessageBox::Ok); break;
    case Buttons::OkCancel:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Ok);
        break;
    case Buttons::YesNo:
    case Buttons::YesNoDefaultNo:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(buttons == Buttons::YesNo ? QMessageBox::Yes : QMessageBox::No);
        break;
    }
    // Esc and the close button take the answer that keeps the diver's data.
    if (QAbstractButton* escape = box.button(ButtonOf(keeps))) box.setEscapeButton(escape);
    // The main window stays on top of everything; its boxes must too.
    box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    box.exec();
    if (box.clickedButton() == nullptr) return keeps;
    switch (box.standardButton(box.clickedButton())) {
    case QMessageBox::Ok: return Answer::Ok;
    case QMessageBox::Yes: return Answer::Yes;
    case QMessageBox::No: return Answer::No;
    case QMessageBox::Cancel: return Answer::Cancel;
    default: return keeps;
    }
}

}  // namespace pelora
