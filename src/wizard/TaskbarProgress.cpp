#include "TaskbarProgress.h"

#include <QWidget>

#ifdef _WIN32
#include <shobjidl.h>
#include <windows.h>
#elif defined(PELORA_HAS_DBUS)
#include <QDBusConnection>
#include <QDBusMessage>
#include <QGuiApplication>
#include <QVariantMap>
#endif

namespace pelora {

#ifdef _WIN32

namespace {

ITaskbarList3* Taskbar(void*& slot)
{
    if (!slot) {
        ITaskbarList3* list = nullptr;
        if (SUCCEEDED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&list)))) {
            if (SUCCEEDED(list->HrInit()))
                slot = list;
            else
                list->Release();
        }
    }
    return static_cast<ITaskbarList3*>(slot);
}

}  // namespace

TaskbarProgress::~TaskbarProgress()
{
    if (taskbar_) static_cast<ITaskbarList3*>(taskbar_)->Release();
}

void TaskbarProgress::Show(double fraction)
{
    if (ITaskbarList3* list = Taskbar(taskbar_)) {
        const HWND window = reinterpret_cast<HWND>(window_->winId());
        list->SetProgressState(window, TBPF_NORMAL);
        list->SetProgressValue(window, static_cast<ULONGLONG>(fraction * 1000.0), 1000);
    }
}

void TaskbarProgress::Hide()
{
    if (ITaskbarList3* list = Taskbar(taskbar_)) list->SetProgressState(reinterpret_cast<HWND>(window_->winId()), TBPF_NOPROGRESS);
}

#elif defined(PELORA_HAS_DBUS)

namespace {

// Docks match the signal to the program by its desktop file.
void SendLauncherEntry(double fraction, bool visible)
{
    // Without a session bus there is no dock to tell (and no bus to start).
    if (!qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS")) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    QString desktopFile = QGuiApplication::desktopFileName();
    if (desktopFile.isEmpty()) desktopFile = QCoreApplication::applicationName();
    QDBusMessage signal =
        QDBusMessage::createSignal("/org/pelora/update", "com.canonical.Unity.LauncherEntry", "Update");
    signal << "application://" + desktopFile + ".desktop"
           << QVariantMap{{"progress", fraction}, {"progress-visible", visible}};
    bus.send(signal);
}

}  // namespace

TaskbarProgress::~TaskbarProgress() = default;
void TaskbarProgress::Show(double fraction) { SendLauncherEntry(fraction, true); }
void TaskbarProgress::Hide() { SendLauncherEntry(0.0, false); }

#else

TaskbarProgress::~TaskbarProgress() = default;
void TaskbarProgress::Show(double) {}
void TaskbarProgress::Hide() {}

#endif

}  // namespace pelora
