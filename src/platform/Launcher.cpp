#include "Launcher.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#else
#include <QProcess>
#include <QString>
#endif

namespace pelora {

#ifdef _WIN32

namespace {

// Paths are UTF-8 inside the program; the shell takes UTF-16.
std::wstring Wide(const std::string& text)
{
    if (text.empty()) return {};
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

}  // namespace

// The follow-on program opens maximised and in front, as the diver's next
// step; the shell also starts documents with their own program.
bool SystemLauncher::StartDetached(const std::string& program, const std::string& workingFolder)
{
    const std::wstring file = Wide(program);
    const std::wstring folder = Wide(workingFolder);
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
