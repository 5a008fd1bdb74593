// The stages: the checks of page 1, the update of page 2, Back.
#include "MFUMain.h"
#include "WindowCommon.h"
#include "TaskList.h"
#include "platform/Utf8Path.h"

#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

namespace pelora {

using namespace window;

class MFUMain::BusyScope {
public:
    explicit BusyScope(MFUMain& window) : window_(window)
    {
        hadFocus_ = window_.MoveFocusOffBusyButtons();
        window_.busy_ = true;
        window_.backWanted_ = window_.BackCmd_->isEnabled();
        window_.NextCmd_->setEnabled(false);
        window_.BackCmd_->setEnabled(false);
    }
    ~BusyScope()
    {
        window_.busy_ = false;
        window_.NextCmd_->setEnabled(window_.WizardStage_ < 3);
        window_.BackCmd_->setEnabled(window_.backWanted_);
        // The focus goes back to the buttons it came from.
        if (hadFocus_) {
            if (window_.NextCmd_->isEnabled())
                window_.NextCmd_->setFocus();
            else if (window_.BackCmd_->isEnabled())
                window_.BackCmd_->setFocus();
        }
    }
    void WantBack(bool wanted) { window_.backWanted_ = wanted; }

private:
    MFUMain& window_;
    bool hadFocus_ = false;
};

// Disabling the focused Next or Back would move the focus on to Close, where
// Enter pressed again in a hurry would end the program: the page shown takes
// it. True when it did.
bool MFUMain::MoveFocusOffBusyButtons()
{
    if (focusWidget() != NextCmd_ && focusWidget() != BackCmd_) return false;
    (TaskLst_->isVisibleTo(this) ? static_cast<QWidget*>(TaskLst_) : Lbl1_)->setFocus();
    return true;
}

void MFUMain::NextCmd_Click()
{
    if (busy_ || closing_ || WizardStage_ >= 3) return;
    ++WizardStage_;
    if (WizardStage_ < 3) {
        BusyScope busy(*this);
        if (!CheckDeviceAndSendToSleep()) {
            WizardStage_ = 1;
            return;
        }
        LoadStepInstructions(WizardStage_);
        busy.WantBack(WizardStage_ > 1);
        return;
    }

    link_.DeepSleepRequest = false;
    profile_.ProfileRestorePending = true;
    // ProfileSafe stays as it is: a profile that an earlier attempt in this
    // run left in its file is still owed until a restore is verified.
    XPFrame_->hide();
    TaskLst_->show();
    MoveFocusOffBusyButtons();  // the log keeps it through the update
    NextCmd_->setEnabled(false);
    if (!link_.State().CommFailed) {
        BusyScope busy(*this);
        UpdateFirmware();
    }
}

// The three checks of leaving stage 1: the device answers, is the image's
// model, and takes the Deep Sleep command. They can take some 20 s with a
// silent device, so the page says meanwhile that the device is looked for.
bool MFUMain::CheckDeviceAndSendToSleep()
{
    if (!ReconnectIfCableWasPulled()) return false;
    ShowSearching(true);
    const std::optional<CheckFailure> failure = IdentifyAndSendToSleep();
    ShowSearching(false);
    if (failure) Boxes().Show(failure->icon, Dialogs::Buttons::Ok, GetText(820), failure->text);
    return !failure;
}

std::optional<MFUMain::CheckFailure> MFUMain::IdentifyAndSendToSleep()
{
    try {
        if (!link_.ReadDeviceId())
            return CheckFailure{Dialogs::Icon::Stop, GetText(150) + "\r\n" + GetText(kNoAnswerAdviceText)};
        if (!link_.CheckDeviceId(link_.DeviceIdText, image_.ImageModelKey))
            return CheckFailure{Dialogs::Icon::Exclamation, GetText(783) + " " + AnsiToUtf8(image_.ImageProductName) + "!"};
        link_.DeepSleepRequest = true;
        if (!link_.SetSleepMode()) return CheckFailure{Dialogs::Icon::Stop, GetText(1057)};
        return std::nullopt;
    } catch (const LinkRuntimeError&) {
        // The port refused to send: the cable was pulled during the checks.
        return CheckFailure{Dialogs::Icon::Stop, GetText(1058)};
    }
}

void MFUMain::ShowSearching(bool searching)
{
    SearchLbl_->setVisible(searching);
    if (searching)
        setCursor(Qt::BusyCursor);
    else
        unsetCursor();
}

// A cable pulled since the last check left the port closed: find and open it
// again. Cancel quits, as the box says.
bool MFUMain::ReconnectIfCableWasPulled()
{
    if (services_.port.IsOpen() || TestInterface()) return true;
    CloseCmd_Click();
    return false;
}

void MFUMain::UpdateFirmware()
{
    UpdateBar_->setValue(0);
    UpdateBar_->show();
    update_.UpdateFirmware();
    UpdateBar_->hide();
    taskbar_.Hide();
}

void MFUMain::ShowUpdateProgress(double fraction)
{
    UpdateBar_->setValue(static_cast<int>(fraction * UpdateBar_->maximum()));
    taskbar_.Show(fraction);
}

void MFUMain::BackCmd_Click()
{
    if (busy_ || closing_) return;
    if (WizardStage_ > 1) {
        WizardStage_ = 1;
        BackCmd_->setEnabled(false);
        GoBack();
        NextCmd_->setFocus();  // page 1 starts on Next, as at start-up
    }
    LoadStepInstructions(WizardStage_);
}

void MFUMain::GoBack()
{
    NextCmd_->setEnabled(true);
    BackCmd_->setEnabled(false);
    XPFrame_->show();
    TaskLst_->clear();
    TaskLst_->hide();
    // A fresh start: nothing that failed or stopped before carries over.
    LinkState& link = link_.State();
    link.CommFailed = false;
    link.LinkAbort = false;
    link.LinkCancel = false;
}

BackupFolders MFUMain::Folders() const
{
    BackupFolders folders = services_.backupFolders;
    if (folders.Program.empty() && folders.User.empty()) folders.Program = PathFromUtf8(services_.applicationFolder);
    return folders;
}

ProfileKeeper MFUMain::Profile(TaskLog& log)
{
    ProfileSeams seams{link_,    log, Boxes(), texts_, services_.priority, services_.localTime, Folders(),
                       [this] { ResetStage(); }, [this] { return ReopenPortQuietly(); }};
    return ProfileKeeper(profile_, std::move(seams), {image_.ModelNumber, image_.MemorySize});
}

void MFUMain::ResetStage()
{
    services_.priority.SetProcessPriority(0, 0, NormalPriorityClass);
    if (busy_)
        backWanted_ = true;
    else
        BackCmd_->setEnabled(true);
}

}  // namespace pelora
