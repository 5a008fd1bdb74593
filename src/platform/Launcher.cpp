#include "Launcher.h"

#ifdef _WIN32
#include "Utf8Path.h"

#include <windows.h>
#include <shellapi.h>
#else
#include <QProcess>
#include <QString>
#endif

namespace pelora {

#ifdef _WIN32

// The follow-on program opens maximised and in front, as the diver's next
// step; the shell also starts documents with their own program.
bool SystemLauncher::StartDetached(const std::string& program, const std::string& workingFolder)
{
    // The shell takes UTF-16.
    const std::wstring file = PathFromUtf8(program).native();
    const std::wstring folder = PathFromUtf8(workingFolder).native();
    const auto result = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", file.c_str(), nullptr,
                                                                folder.empty() ? nullptr : folder.c_str(),
                                                                SW_SHOWMAXIMIZED));
    return result > 32;  // the shell's way of saying it started
}

#else

// Linux and macOS have no "start maximised" for another program; its own
// window manager settings decide.
bool SystemLauncher::StartDetached(const std::string& program, const std::string& workingFolder)
{
    return QProcess::startDetached(QString::fromStdString(program), {}, QString::fromStdString(workingFolder));
}

#endif

}  // namespace pelora
