#pragma once

#include "TaskbarProgress.h"
#include "WizardServices.h"
#include "firmware/FirmwareUpdate.h"
#include "firmware/GetCode.h"
#include "link/CommModule.h"
#include "platform/TaskLog.h"
#include "profile/ProfileKeeper.h"
#include "profile/SavedProfile.h"
#include "profile/UpdateRecord.h"
#include "texts/Configuration.h"
#include "texts/LanguageDb.h"

#include <QWidget>

#include <memory>
#include <optional>

class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QSvgWidget;
class QSystemTrayIcon;
class QTranslator;

namespace pelora {

class MessageBoxDialogs;
class TaskList;
class TitleBar;

// The wizard's one window: instructions for the first two stages, then the
// task log of the update.
class MFUMain : public QWidget, public TaskLog {
    Q_OBJECT
public:
    explicit MFUMain(WizardServices services, QWidget* parent = nullptr);
    ~MFUMain() override;

    // The whole start-up. False when the program must end instead of showing
    // the window; ExitCode() then tells with which code.
    bool Form_Load();
    int ExitCode() const { return exitCode_; }

    // Task log.
    void InsertTaskList(int IconInd, const std::string& S1, const std::string& S2) override;
    void SetTaskStatus(const std::string& S) override;

    // Stages and closing; the buttons call these.
    void NextCmd_Click();
    void BackCmd_Click();
    void CloseCmd_Click();
    void ResetStage();

    // State that the stages and tests look at.
    int WizardStage() const { return WizardStage_; }
    bool ProfileSafe() const { return profile_.ProfileSafe; }
    SavedProfile& Saved() { return profile_; }
    // The profile operations on the connected device, with the window's boxes
    // and this task log.
    ProfileKeeper Profile(TaskLog& log);
    FirmwareUpdate& Update() { return update_; }
    const UpdateRecord& Record() const { return record_; }
    CommModule& Link() { return link_; }
    const LanguageDb& Texts() const { return texts_; }
    const std::optional<Configuration>& Config() const { return config_; }
    const ImageState& Image() const { return image_; }

    TitleBar* XPForm() const { return XPForm_; }
    QGroupBox* XPFrame() const { return XPFrame_; }
    QLabel* Lbl1() const { return Lbl1_; }
    QLabel* SearchLbl() const { return SearchLbl_; }
    QSvgWidget* Image2() const { return Image2_; }
    TaskList* TaskLst() const { return TaskLst_; }
    QPushButton* BackCmd() const { return BackCmd_; }
    QPushButton* NextCmd() const { return NextCmd_; }
    QPushButton* CloseCmd() const { return CloseCmd_; }
    QPushButton* PrintCmd() const { return PrintCmd_; }
    QProgressBar* UpdateBar() const { return UpdateBar_; }
    QSystemTrayIcon* SysTray() const { return SysTray_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool InitInfo();
    bool OpenTexts();
    bool GetCode();
    bool TestInterface();
    bool ReopenPortQuietly();
    bool OpenPort(const std::string& portName, std::string* reason);
    enum class PortOutcome { Opened, Retry, Cancelled };
    PortOutcome OpenInterfacePort(const std::string& portName);
    void LoadStepInstructions(int stage);
    void FitInstructions();
    // A press on Next counts once its page has been on screen this long: the
    // second press of a double click, or one queued while the checks ran,
    // would otherwise start the update on a device still in Deep Sleep.
    static constexpr double kPageReadSeconds = 1.0;
    bool PageShownLongEnough();
    double pageShownAt_ = 0.0;  // Clock time
    void SetCaptions();
    void PutOnTop();
    void UnDoPutOnTop();
    void CreateTrayIcon();
    bool CheckDeviceAndSendToSleep();
    struct CheckFailure {
        Dialogs::Icon icon;
        std::string text;
    };
    std::optional<CheckFailure> IdentifyAndSendToSleep();
    void ShowSearching(bool searching);
    void ShowUpdateProgress(double fraction);
    bool ReconnectIfCableWasPulled();
    void UpdateFirmware();
    void GoBack();
    bool DiverStopsTheUpdate();
    void ShowRecoveryProgress();
    void EndProgram(int exitCode);
    std::string GetText(int id) const { return texts_.GetText(id); }
    Dialogs& Boxes();
    BackupFolders Folders() const;

    // Next and Back are disabled while device transactions run, so that no
    // second set of transactions can start beside them; ResetStage during
    // that time only notes that Back is wanted afterwards.
    class BusyScope;
    bool MoveFocusOffBusyButtons();
    bool busy_ = false;
    bool backWanted_ = false;

    void BuildControls();

    WizardServices services_;
    CommModule link_;
    LanguageDb texts_;
    std::optional<Configuration> config_;
    ImageState image_;
    std::unique_ptr<MessageBoxDialogs> ownDialogs_;
    std::unique_ptr<QTranslator> qtTexts_;  // Qt's own texts in the texts' language

    int WizardStage_ = 1;
    SavedProfile profile_;
    UpdateRecord record_;
    FirmwareUpdate update_;
    bool closing_ = false;
    int exitCode_ = 0;

    TitleBar* XPForm_ = nullptr;
    QSvgWidget* Image1_ = nullptr;
    QGroupBox* XPFrame_ = nullptr;
    QLabel* Lbl1_ = nullptr;
    QLabel* SearchLbl_ = nullptr;
    QSvgWidget* Image2_ = nullptr;
    TaskList* TaskLst_ = nullptr;
    QProgressBar* UpdateBar_ = nullptr;
    TaskbarProgress taskbar_{this};
    QPushButton* PrintCmd_ = nullptr;
    QPushButton* BackCmd_ = nullptr;
    QPushButton* NextCmd_ = nullptr;
    QPushButton* CloseCmd_ = nullptr;
    QPushButton* AgreeCmd_ = nullptr;
    QPushButton* DisagreeCmd_ = nullptr;
    QSystemTrayIcon* SysTray_ = nullptr;
};

}  // namespace pelora
