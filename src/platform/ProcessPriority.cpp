#include "ProcessPriority.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace pelora {

#ifdef _WIN32

std::int32_t SystemProcessPriority::SetProcessPriority(std::int32_t ProcessId, std::int64_t WindowHandle,
                                                       std::int32_t PriorityClass)
{
    DWORD pid = static_cast<DWORD>(ProcessId);
    if (pid == 0) {
        if (WindowHandle != 0)
            GetWindowThreadProcessId(reinterpret_cast<HWND>(static_cast<INT_PTR>(WindowHandle)), &pid);
        else
            pid = GetCurrentProcessId();
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_SET_INFORMATION, FALSE, pid);
    if (process)
        SetPriorityClass(process, static_cast<DWORD>(PriorityClass));
    else
        process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
    const std::int32_t inForce = process ? static_cast<std::int32_t>(GetPriorityClass(process)) : 0;
    if (process) CloseHandle(process);
    return inForce;
}

#else

namespace {

// High priority is a nice value of -10, normal is 0; idle-ish classes are
// not used by the program.
int NiceFor(std::int32_t priorityClass) { return priorityClass == HighPriorityClass ? -10 : 0; }

std::int32_t ClassFor(int nice) { return nice < 0 ? HighPriorityClass : NormalPriorityClass; }

}  // namespace

std::int32_t SystemProcessPriority::SetProcessPriority(std::int32_t ProcessId, std::int64_t /*WindowHandle*/,
                                                       std::int32_t PriorityClass)
{
    // Windows belong to this process here, so a window handle names it too.
    const id_t pid = ProcessId == 0 ? static_cast<id_t>(getpid()) : static_cast<id_t>(ProcessId);
    // An unprivileged process may not lower its nice value: it then keeps
    // the priority it has.
    setpriority(PRIO_PROCESS, pid, NiceFor(PriorityClass));
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, pid);
    if (nice == -1 && errno != 0) return 0;
    return ClassFor(nice);
}

#endif

}  // namespace pelora
