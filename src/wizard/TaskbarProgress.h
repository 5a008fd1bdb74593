#pragma once

class QWidget;

namespace pelora {

// The update's progress on the program's task-bar entry, where the desktop
// shows one: the task bar on Windows, the launcher-entry signal that docks
// and task managers on Linux desktops listen to. Elsewhere it does nothing.
class TaskbarProgress {
public:
    explicit TaskbarProgress(QWidget* window) : window_(window) {}
    ~TaskbarProgress();
    TaskbarProgress(const TaskbarProgress&) = delete;
    TaskbarProgress& operator=(const TaskbarProgress&) = delete;

    void Show(double fraction);
    void Hide();

private:
    QWidget* window_;
    void* taskbar_ = nullptr;  // Windows: the task bar's COM interface, once made
};

}  // namespace pelora
