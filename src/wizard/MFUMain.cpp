#include "MFUMain.h"
#include "WindowCommon.h"

#include "MessageBoxDialogs.h"
#include "Skin.h"
#include "TaskList.h"
#include "TitleBar.h"

#include <QAccessibleWidget>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSvgWidget>
#include <QSystemTrayIcon>
#include <QTime>
#include <QTranslator>

#include <cstdlib>

namespace pelora {

using namespace window;

namespace {

// Screen readers announce a top-level widget as a window by its role, which
// Qt gives a plain QWidget only as a client area.
QAccessibleInterface* AccessibleWindow(const QString&, QObject* object)
{
    auto* window = qobject_cast<MFUMain*>(object);
    return window ? new QAccessibleWidget(window, QAccessible::Window) : nullptr;
}

}  // namespace

MFUMain::MFUMain(WizardServices services, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint),
      services_(std::move(services)),
      link_(services_.port, services_.clock, services_.pump),
      record_(Folders(), services_.localTime),
      update_(image_, profile_,
              {link_, *this, texts_, services_.priority, services_.clock, services_.pump, services_.localTime,
               [this] { ResetStage(); }, [this](TaskLog& log) { return Profile(log); },
               [this](double fraction) { ShowUpdateProgress(fraction); }})
{
    InitWizardResources();
    static const bool accessible = (QAccessible::installFactory(AccessibleWindow), true);
    (void)accessible;
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

    XPFrame_ = new QGroupBox(this);
    XPFrame_->setObjectName("XPFrame");
    XPFrame_->setGeometry(TwipsRect(2160, 480, 7935, 5415));

    Lbl1_ = new QLabel(XPFrame_);
    Lbl1_->setObjectName("Lbl1");
    Lbl1_->setGeometry(TwipsRect(120, 240, 7695, 5055));
    Lbl1_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Lbl1_->setWordWrap(true);
    Lbl1_->setTextFormat(Qt::PlainText);
    // A Tab stop, so that a screen reader reads the instructions: the text is
    // the label's accessible name.
    Lbl1_->setFocusPolicy(Qt::TabFocus);

    // Under the instructions while the page-1 checks look for the device.
    SearchLbl_ = new QLabel(XPFrame_);
    SearchLbl_->setObjectName("SearchLbl");
    SearchLbl_->setGeometry(TwipsRect(120, 4860, 7695, 360));
    SearchLbl_->setTextFormat(Qt::PlainText);
    SearchLbl_->hide();

    Image2_ = new QSvgWidget(":/wizard/dive-computer.svg", XPFrame_);
    Image2_->setObjectName("Image2");
    Image2_->setGeometry(IllustrationRect());
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
    UpdateBar_->hide();

    auto makeButton = [this](const char* name, const QString& caption, QRect geometry) {
        auto* button = new QPushButton(caption, this);
        button->setObjectName(name);
        button->setGeometry(geometry);
        // Enter presses the focused button, as in a dialog.
        button->setAutoDefault(true);
        button->installEventFilter(this);
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

    connect(NextCmd_, &QPushButton::clicked, this, [this] {
        if (PageShownLongEnough()) NextCmd_Click();
    });
    connect(BackCmd_, &QPushButton::clicked, this, [this] { BackCmd_Click(); });
    connect(CloseCmd_, &QPushButton::clicked, this, [this] { CloseCmd_Click(); });
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

// ---------------------------------------------------------------- closing

void MFUMain::closeEvent(QCloseEvent* event)
{
    // The window system's close request takes the same way out as Close.
    event->ignore();
    CloseCmd_Click();
}

void MFUMain::keyPressEvent(QKeyEvent* event)
{
    // Esc is Close, as in a dialog; not while device transactions run, where
    // a key pressed in a hurry must not stop the update (Close itself can).
    if (event->key() == Qt::Key_Escape && !busy_) return CloseCmd_Click();
    QWidget::keyPressEvent(event);
}

// A held Enter repeats its key press; one press is one click.
bool MFUMain::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->isAutoRepeat() && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) return true;
    }
    return QWidget::eventFilter(watched, event);
}

// Closing while code goes in, the device restarts or the profile goes back
// asks first; the default answer and Esc keep the update running.
bool MFUMain::DiverStopsTheUpdate()
{
    if (!update_.StoppingHarms()) return true;
    closing_ = true;  // one question at a time
    const auto answer = Boxes().Ask(Dialogs::Icon::Exclamation, Dialogs::Buttons::YesNoDefaultNo, GetText(820),
                                    GetText(772) + "\r\n\r\n" + GetText(kStopQuestionText), Dialogs::Answer::No);
    closing_ = false;
    return answer == Dialogs::Answer::Yes;
}

void MFUMain::CloseCmd_Click()
{
    if (closing_ || !DiverStopsTheUpdate()) return;
    closing_ = true;
    // Every step runs even when an earlier one fails: the program always ends.
    auto step = [](auto&& action) {
        try {
            action();
        } catch (const std::exception&) {
        }
    };
    if (!profile_.ProfileSafe) step([this] {
        ShowRecoveryProgress();
        Profile(*this).ProfileRecovering();
    });
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

// The recovery's attempts report in the task log, under the rows so far.
void MFUMain::ShowRecoveryProgress()
{
    XPFrame_->hide();
    UpdateBar_->hide();
    TaskLst_->show();
    setCursor(Qt::BusyCursor);
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
