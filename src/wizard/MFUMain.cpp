#include "MFUMain.h"

#include "MessageBoxDialogs.h"
#include "Skin.h"
#include "StepInstructions.h"
#include "TaskList.h"
#include "TitleBar.h"
#include "firmware/GetCode.h"
#include "platform/StringTable.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSvgWidget>
#include <QSystemTrayIcon>
#include <QTime>

#include <cstdlib>

namespace pelora {

namespace {

// The layout is given in twips; 15 twips make one pixel at 96 dpi. Qt
// scales these logical pixels with the screen's device-pixel ratio.
constexpr int Twips(int twips) { return (twips + 7) / 15; }

QRect TwipsRect(int left, int top, int width, int height)
{
    return QRect(Twips(left), Twips(top), Twips(width), Twips(height));
}

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

constexpr const char* kBoxTitle = "Firmware Update";
constexpr const char* kSleepFailure = "Could not set DC into Deep Sleep mode. Please replease step 1 to 4 again.";
constexpr const char* kProgramCaption = "Pelora 1D Firmware Update";
constexpr const char* kCableLost =
    "The connection to the interface cable was lost. Check that the cable is plugged in and clipped on the DC, "
    "then click Next to try again.";

}  // namespace

class MFUMain::BusyScope {
public:
    explicit BusyScope(MFUMain& window) : window_(window)
    {
        hadFocus_ = window_.focusWidget() == window_.NextCmd_ || window_.focusWidget() == window_.BackCmd_;
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
        // Disabling the focused button moved the focus on; bring it back.
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

MFUMain::MFUMain(WizardServices services, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint),
      services_(std::move(services)),
      link_(services_.port, services_.clock, services_.pump),
      record_(Folders(), services_.localTime),
      update_(image_, profile_,
              {link_, *this, texts_, services_.priority, services_.clock, services_.pump, services_.localTime,
               [this] { ResetStage(); }, [this](TaskLog& log) { return Profile(log); },
               [this](double fraction) { UpdateBar_->setValue(static_cast<int>(fraction * UpdateBar_->maximum())); }})
{
    InitWizardResources();
    ownDialogs_ = std::make_unique<MessageBoxDialogs>(this);
    BuildControls();
}

MFUMain::~MFUMain() = default;

Dialogs& MFUMain::Boxes() { return services_.dialogs ? *services_.dialogs : *ownDialogs_; }

void MFUMain::BuildControls()
{
    setObjectName("MFUMain");
    setWindowTitle(kProgramCaption);
    setWindowIcon(QIcon(":/wizard/app-icon.svg"));
    setFixedSize(Twips(10185), Twips(6840));
    setAttribute(Qt::WA_StyledBackground, true);

    XPForm_ = new TitleBar(this);
    XPForm_->setGeometry(TwipsRect(0, 0, 10185, 450));

    Image1_ = new QSvgWidget(":/wizard/side-banner.svg", this);
    Image1_->setObjectName("Image1");
    Image1_->setGeometry(TwipsRect(0, 480, 2115, 5370));
    Image1_->setAccessibleName(tr("Side picture"));

    XPFrame_ = new QGroupBox(this);
    XPFrame_->setObjectName("XPFrame");
    XPFrame_->setGeometry(TwipsRect(2160, 480, 7935, 5415));
    XPFrame_->setAccessibleName(tr("Instructions"));

    Lbl1_ = new QLabel(XPFrame_);
    Lbl1_->setObjectName("Lbl1");
    Lbl1_->setGeometry(TwipsRect(120, 240, 7695, 5055));
    Lbl1_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Lbl1_->setWordWrap(true);
    Lbl1_->setTextFormat(Qt::PlainText);
    Lbl1_->setAccessibleName(tr("Instruction text"));

    Image2_ = new QSvgWidget(":/wizard/dive-computer.svg", XPFrame_);
    Image2_->setObjectName("Image2");
    Image2_->setGeometry(TwipsRect(720, 240, 5835, 2610));
    Image2_->setAccessibleName(tr("Dive computer with the interface cable clipped on"));
    Image2_->hide();

    TaskLst_ = new TaskList(this);
    TaskLst_->setGeometry(TwipsRect(2160, 480, 7935, 5415));
    TaskLst_->hide();

    // The whole update's progress, below the log while the update runs.
    UpdateBar_ = new QProgressBar(this);
    UpdateBar_->setObjectName("UpdateBar");
    UpdateBar_->setGeometry(TwipsRect(2160, 5940, 7935, 300));
    UpdateBar_->setRange(0, 1000);
    UpdateBar_->setTextVisible(false);
    UpdateBar_->setAccessibleName(tr("Progress of the update"));
    UpdateBar_->hide();

    auto makeButton = [this](const char* name, const QString& caption, QRect geometry) {
        auto* button = new QPushButton(caption, this);
        button->setObjectName(name);
        button->setGeometry(geometry);
        button->setAccessibleName(caption);
        button->setAutoDefault(false);
        return button;
    };
    PrintCmd_ = makeButton("PrintCmd", "Print", TwipsRect(240, 6360, 1095, 375));
    BackCmd_ = makeButton("BackCmd", "Back", TwipsRect(4200, 6360, 1455, 375));
    NextCmd_ = makeButton("NextCmd", "Next", TwipsRect(6000, 6360, 1455, 375));
    CloseCmd_ = makeButton("CloseCmd", "Close", TwipsRect(8640, 6360, 1455, 375));
    // Below the client area and never shown: the program has no agreement step.
    AgreeCmd_ = makeButton("AgreeCmd", "I agree and want to proceed to the firmware update",
                           TwipsRect(2160, 7200, 5295, 375));
    DisagreeCmd_ = makeButton("DisagreeCmd", "I do not agree", TwipsRect(8160, 7200, 2175, 375));
    PrintCmd_->hide();
    AgreeCmd_->hide();
    DisagreeCmd_->hide();
    BackCmd_->setEnabled(false);
    NextCmd_->setDefault(true);

    setTabOrder(TaskLst_, BackCmd_);
    setTabOrder(BackCmd_, NextCmd_);
    setTabOrder(NextCmd_, CloseCmd_);

    connect(NextCmd_, &QPushButton::clicked, this, [this] { NextCmd_Click(); });
    connect(BackCmd_, &QPushButton::clicked, this, [this] { BackCmd_Click(); });
    connect(CloseCmd_, &QPushButton::clicked, this, [this] { CloseCmd_Click(); });
}

// ---------------------------------------------------------------- start-up

bool MFUMain::Form_Load()
{
    WizardStage_ = 1;
    PrintCmd_->hide();
    NextCmd_->show();
    BackCmd_->show();
    CloseCmd_->show();
    link_.DeepSleepRequest = false;
    return InitInfo();
}

bool MFUMain::InitInfo()
{
    config_ = ReadConfiguration(services_.configurationString, services_.applicationFolder);
    if (!config_) {
        exitCode_ = 0;  // not our configuration: end without a word
        return false;
    }
    if (!OpenTexts()) return false;

    PutOnTop();
    setWindowTitle(XPForm_->Caption());
    CreateTrayIcon();
    XPForm_->SetCaption(Q("Pelora 1D  " + GetText(820)));
    XPForm_->setToolTip(Q(GetText(820) + " \u2014 \u00a9 2026 Kalo"));
    profile_.ProfileSafe = true;

    if (!GetCode()) {
        CloseCmd_Click();
        return false;
    }
    if (!TestInterface()) {
        exitCode_ = 0;  // the diver chose Cancel
        return false;
    }
    LoadStepInstructions(1);
    SetCaptions();
    NextCmd_->setFocus();
    return true;
}

bool MFUMain::OpenTexts()
{
    const std::string path = PathInFolder(services_.applicationFolder, LanguageDb::FileName);
    const auto result = texts_.OpenLanguageDb(path, LoadString(LanguageDbPassword), config_->LanguageNumber);
    switch (result) {
    case LanguageDb::OpenResult::Ok:
        return true;
    case LanguageDb::OpenResult::LanguagesMissing:
    case LanguageDb::OpenResult::LanguagesEmpty:
        // The texts themselves are there: say so, and go on.
        Boxes().Show(Dialogs::Icon::Stop, Dialogs::Buttons::Ok, GetText(280), GetText(280) + " 0001");
        return true;
    default:
        // Without its texts the wizard cannot say anything useful: tell why
        // in plain English and end.
        Boxes().Show(Dialogs::Icon::Stop, Dialogs::Buttons::Ok, kProgramCaption,
                     "The language file " + path + " cannot be used: " + LanguageDb::Describe(result) +
                         ".\r\n\r\nPlease install the program again.");
        exitCode_ = 1;
        return false;
    }
}

bool MFUMain::GetCode()
{
    const GetCodeSeams seams{*this, Boxes(), texts_, link_.State(), [this] { ResetStage(); }};
    return pelora::GetCode(config_->FirmwareFilePath, image_, seams);
}

bool MFUMain::TestInterface()
{
    for (;;) {
        std::optional<std::string> port = services_.portFinder.FindInterfacePort();
        while (!port) {
            const auto answer = Boxes().Show(Dialogs::Icon::Stop, Dialogs::Buttons::OkCancel, GetText(605),
                                             GetText(593) + ".\r\n" + GetText(802));
            if (answer != Dialogs::Answer::Ok) return false;
            port = services_.portFinder.FindInterfacePort();
        }
        switch (OpenInterfacePort(*port)) {
        case PortOutcome::Opened: return true;
        case PortOutcome::Cancelled: return false;
        case PortOutcome::Retry: break;
        }
    }
}

// A port that is there but cannot be opened: say which and why, and what
// usually helps; the diver may retry or quit.
MFUMain::PortOutcome MFUMain::OpenInterfacePort(const std::string& portName)
{
    services_.port.SetPortName(portName);
    services_.port.SetBaudRate(38400);
    std::string reason;
    if (services_.port.Open(&reason)) return PortOutcome::Opened;

    std::string text = "The interface cable was found on " + portName + ", but the port could not be opened";
    text += reason.empty() ? "." : ": " + reason + ".";
#ifdef _WIN32
    text += "\r\n\r\nClose any other program that may be using the cable, then click OK to try again.";
#else
    text += "\r\n\r\nCheck that your user account may use serial ports (on most Linux systems: a member of the "
            "group \"dialout\"; log in again after joining it), and that no other program, such as a modem "
            "manager, holds the port. Then click OK to try again.";
#endif
    const auto answer = Boxes().Show(Dialogs::Icon::Stop, Dialogs::Buttons::OkCancel, kProgramCaption, text);
    return answer == Dialogs::Answer::Ok ? PortOutcome::Retry : PortOutcome::Cancelled;
}

void MFUMain::SetCaptions()
{
    XPFrame_->setTitle(Q(GetText(352)).toUpper());
    BackCmd_->setText(Q(GetText(799)));
    CloseCmd_->setText(Q(GetText(141)));
    NextCmd_->setText(Q(GetText(800)));
    for (QPushButton* button : {BackCmd_, CloseCmd_, NextCmd_}) button->setAccessibleName(button->text());
    QTreeWidgetItem* header = TaskLst_->headerItem();
    header->setText(1, Q(GetText(664)));
    header->setText(2, Q(GetText(801)));
    header->setText(3, Q(GetText(683)));
}

void MFUMain::PutOnTop() { setWindowFlag(Qt::WindowStaysOnTopHint, true); }

void MFUMain::UnDoPutOnTop()
{
    const bool visible = isVisible();
    setWindowFlag(Qt::WindowStaysOnTopHint, false);
    if (visible) show();  // changing window flags hides a shown window
}

void MFUMain::CreateTrayIcon()
{
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
    SysTray_ = new QSystemTrayIcon(windowIcon(), this);
    SysTray_->setToolTip(windowTitle());
    SysTray_->show();
}

void MFUMain::LoadStepInstructions(int stage)
{
    Image2_->setVisible(StepShowsIllustration(stage));
    Lbl1_->setText(Q(StepInstructionsText(stage)));
}

// ---------------------------------------------------------------- task log

void MFUMain::InsertTaskList(int IconInd, const std::string& S1, const std::string& S2)
{
    TaskLst_->AddRow(TaskList::RowText(QTime::currentTime(), Q(S1), Q(S2)), IconInd);
    record_.Row(IconInd, S1, S2);
}

void MFUMain::SetTaskStatus(const std::string& S)
{
    TaskLst_->SetNewestStatus(Q(S));
    record_.Status(S);
}

// ---------------------------------------------------------------- stages

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
    profile_.ProfileSafe = true;
    XPFrame_->hide();
    TaskLst_->show();
    NextCmd_->setEnabled(false);
    if (!link_.State().CommFailed) {
        BusyScope busy(*this);
        UpdateFirmware();
    }
}

// The three checks of leaving stage 1: the device answers, is the image's
// model, and takes the Deep Sleep command.
bool MFUMain::CheckDeviceAndSendToSleep()
{
    if (!ReconnectIfCableWasPulled()) return false;
    try {
        if (!link_.ReadDeviceId()) return false;  // a silent device: the diver repeats page 1
        if (!link_.CheckDeviceId(link_.DeviceIdText, image_.ImageModelKey)) {
            Boxes().Show(Dialogs::Icon::Exclamation, Dialogs::Buttons::Ok, kBoxTitle,
                         GetText(783) + " " + Latin1ToUtf8(image_.ImageProductName) + "!");
            return false;
        }
        link_.DeepSleepRequest = true;
        if (!link_.SetSleepMode()) {
            Boxes().Show(Dialogs::Icon::Stop, Dialogs::Buttons::Ok, kBoxTitle, kSleepFailure);
            return false;
        }
        return true;
    } catch (const LinkRuntimeError&) {
        // The port refused to send: the cable was pulled during the checks.
        Boxes().Show(Dialogs::Icon::Stop, Dialogs::Buttons::Ok, kBoxTitle, kCableLost);
        return false;
    }
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
}

void MFUMain::BackCmd_Click()
{
    if (busy_ || closing_) return;
    if (WizardStage_ > 1) {
        WizardStage_ = 1;
        BackCmd_->setEnabled(false);
        GoBack();
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
    link_.State().CommFailed = false;
}

BackupFolders MFUMain::Folders() const
{
    BackupFolders folders = services_.backupFolders;
    if (folders.Program.empty()) folders.Program = services_.applicationFolder;
    return folders;
}

ProfileKeeper MFUMain::Profile(TaskLog& log)
{
    ProfileSeams seams{link_,    log, Boxes(), texts_, services_.priority, services_.localTime, Folders(),
                       [this] { ResetStage(); }};
    return ProfileKeeper(profile_, std::move(seams), {image_.ModelNumber, image_.MemorySize});
}

void MFUMain::ResetStage()
{
    services_.priority.SetProcessPriority(0, 0, NORMAL_PRIORITY_CLASS);
    if (busy_)
        backWanted_ = true;
    else
        BackCmd_->setEnabled(true);
}

// ---------------------------------------------------------------- closing

void MFUMain::closeEvent(QCloseEvent* event)
{
    // The window system's close request takes the same way out as Close.
    event->ignore();
    CloseCmd_Click();
}

void MFUMain::CloseCmd_Click()
{
    if (closing_) return;
    closing_ = true;
    // Every step runs even when an earlier one fails: the program always ends.
    auto step = [](auto&& action) {
        try {
            action();
        } catch (const std::exception&) {
        }
    };
    if (!profile_.ProfileSafe) step([this] { Profile(*this).ProfileRecovering(); });
    UnDoPutOnTop();
    LinkState& link = link_.State();
    link.LinkAbort = true;
    link.LinkCancel = true;
    link_.Delay(1.0);
    if (SysTray_) SysTray_->hide();
    link.RxBuf.assign(1, 0);
    link.RxBlockBuf.assign(1, 0);
    if (config_ && !config_->RunOnClose.empty())
        step([this] {
            services_.launcher.StartDetached(PathInFolder(services_.applicationFolder, config_->RunOnClose),
                                             services_.applicationFolder);
        });
    texts_.Close();
    EndProgram(0);
}

void MFUMain::EndProgram(int exitCode)
{
    exitCode_ = exitCode;
    if (services_.endProgram)
        services_.endProgram(exitCode);
    else
        std::exit(exitCode);
}

}  // namespace pelora
