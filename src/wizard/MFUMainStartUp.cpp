// Start-up: configuration, texts, image, cable, first page.
#include "MFUMain.h"
#include "WindowCommon.h"
#include "QtTexts.h"
#include "StepInstructions.h"
#include "TaskList.h"
#include "TitleBar.h"
#include "firmware/GetCode.h"
#include "platform/StringTable.h"
#include "profile/ProfileTexts.h"

#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QSvgWidget>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QTranslator>

namespace pelora {

using namespace window;

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
    if (services_.languageColumn > 0) config_->LanguageNumber = services_.languageColumn;
    if (!OpenTexts()) return false;

    PutOnTop();
    setWindowTitle(XPForm_->Caption());
    // Finding the desktop's tray can take a while: the icon follows once
    // the window is up.
    QTimer::singleShot(0, this, [this] { CreateTrayIcon(); });
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
    const DataFile file = FindDataFile(services_.applicationFolder, LanguageDb::FileName);
    const std::string password = LoadString(LanguageDbPassword);
    UnlockedLanguageDb unlocked =
        services_.unlockTexts ? services_.unlockTexts(file.Path, password) : LanguageDb::Unlock(file.Path, password);
    const auto result = texts_.OpenLanguageDb(std::move(unlocked), config_->LanguageNumber);
    switch (result) {
    case LanguageDb::OpenResult::Ok:
    case LanguageDb::OpenResult::LanguagesMissing:
    case LanguageDb::OpenResult::LanguagesEmpty:
        break;
    default:
        // Without its texts the wizard cannot say anything useful: tell why
        // in plain English and end. A column the demo was told to show is a
        // mistake on its command line, not a damaged installation.
        const std::string named = file.Path.empty() ? file.Places[0] + " or " + file.Places[1] : file.Path;
        const bool chosen = services_.languageColumn > 0 && result == LanguageDb::OpenResult::ColumnNotText;
        Boxes().Show(Dialogs::Icon::Stop, Dialogs::Buttons::Ok, kProgramCaption,
                     chosen ? "The language file " + named + " has no language column " +
                                  std::to_string(services_.languageColumn) + "."
                            : "The language file " + named + " cannot be used: " + LanguageDb::Describe(result) +
                                  ".\r\n\r\nPlease install the program again.");
        exitCode_ = 1;
        return false;
    }
    // Qt's buttons speak the texts' language, whatever the system's is.
    qtTexts_ = std::make_unique<QTranslator>();
    InstallQtTexts(*qtTexts_, GetText(1015));
    // Without the language list the texts themselves are there: say so, and go on.
    if (result != LanguageDb::OpenResult::Ok)
        Boxes().Show(Dialogs::Icon::Stop, Dialogs::Buttons::Ok, GetText(280), GetText(280) + " 0001");
    return true;
}

bool MFUMain::GetCode()
{
    const GetCodeSeams seams{*this, Boxes(), texts_, link_.State(), [this] { ResetStage(); }};
    return pelora::GetCode(config_->FirmwareFile, image_, seams);
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

// The recovery's way back to a cable plugged in again: its boxes ask the
// diver already, so nothing more is shown here.
bool MFUMain::ReopenPortQuietly()
{
    if (services_.port.IsOpen()) return true;
    const std::optional<std::string> port = services_.portFinder.FindInterfacePort();
    if (!port) return false;
    std::string reason;
    return OpenPort(*port, &reason);
}

// The cable's port at 38400 baud; the record notes how fast it answers.
bool MFUMain::OpenPort(const std::string& portName, std::string* reason)
{
    services_.port.SetPortName(portName);
    services_.port.SetBaudRate(38400);
    if (!services_.port.Open(reason)) return false;
    record_.Note(services_.port.LatencyNote());
    return true;
}

// A port that is there but cannot be opened: say which and why, and what
// usually helps; the diver may retry or quit.
MFUMain::PortOutcome MFUMain::OpenInterfacePort(const std::string& portName)
{
    std::string reason;
    if (OpenPort(portName, &reason)) return PortOutcome::Opened;

    std::string text = profiletext::WithArgument(GetText(1059), portName);
    text += reason.empty() ? "." : ": " + reason + ".";
#ifdef _WIN32
    const int helps = 1060;  // another program holds the port
#else
    const int helps = 1061;  // the serial-port group, or a modem manager
#endif
    text += "\r\n\r\n" + GetText(helps);
    const auto answer =
        Boxes().Show(Dialogs::Icon::Stop, Dialogs::Buttons::OkCancel, "Pelora 1D " + GetText(820), text);
    return answer == Dialogs::Answer::Ok ? PortOutcome::Retry : PortOutcome::Cancelled;
}

// Every caption, and what a screen reader says for the parts that show no
// text, in the texts' language. The instructions need no name: a label's
// text is what a screen reader reads.
void MFUMain::SetCaptions()
{
    const auto text = [this](int id) { return Q(GetText(id)); };
    XPFrame_->setTitle(text(352).toUpper());
    XPFrame_->setAccessibleName(text(352));
    const std::pair<QPushButton*, int> captions[] = {{BackCmd_, 799},   {NextCmd_, 800},   {CloseCmd_, 141},
                                                     {PrintCmd_, 1029}, {AgreeCmd_, 1030}, {DisagreeCmd_, 1031}};
    for (const auto& [button, id] : captions) button->setText(text(id));
    SearchLbl_->setText(text(kLookingText));
    NextCmd_->setAccessibleDescription(text(1026));
    BackCmd_->setAccessibleDescription(text(1027));
    CloseCmd_->setAccessibleDescription(text(1028));
    Image1_->setAccessibleName(text(1016));
    Image2_->setAccessibleName(text(1017));
    XPForm_->SetLogoName(text(1018));
    TaskLst_->setAccessibleName(text(1019));
    TaskLst_->setAccessibleDescription(text(1020));
    TaskLst_->SetHeaders({text(1021), text(664), text(801), text(683)}, {text(1022), text(1023), text(1024)});
    UpdateBar_->setAccessibleName(text(1025));
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
    // English keeps the program's own pages; another language gets pages of its own words.
    Lbl1_->setText(Q(StepInstructionsText(stage, GetText(1015) == "en" ? nullptr : &texts_)));
    FitInstructions();
    pageShownAt_ = services_.clock.Now();
}

// A page that would run past its frame (page 2's wrapped lines, a long
// translation) is set in the skin's smaller size rather than cut off; the
// illustration, which sits in the page's blank lines, shrinks with them.
void MFUMain::FitInstructions()
{
    const auto compact = [this](bool on) {
        Lbl1_->setProperty("compact", on);
        Lbl1_->style()->unpolish(Lbl1_);
        Lbl1_->style()->polish(Lbl1_);
        return Lbl1_->fontMetrics().lineSpacing();
    };
    const int normalLine = compact(false);
    Image2_->setGeometry(IllustrationRect());
    if (Lbl1_->heightForWidth(Lbl1_->width()) <= Lbl1_->height()) return;
    const int compactLine = compact(true);
    QRect smaller = IllustrationRect();
    smaller.setSize(smaller.size() * compactLine / normalLine);
    smaller.moveCenter(QPoint(IllustrationRect().center().x(), smaller.center().y()));
    Image2_->setGeometry(smaller);
}

bool MFUMain::PageShownLongEnough() { return services_.clock.Now() - pageShownAt_ >= kPageReadSeconds; }

}  // namespace pelora
