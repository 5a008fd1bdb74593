#pragma once

#include <cstdint>

namespace pelora {

// Priority classes as the program names them: the values of Windows'
// HIGH_PRIORITY_CLASS and NORMAL_PRIORITY_CLASS, which <windows.h> defines as
// macros, so the names cannot be the same.
constexpr std::int32_t NormalPriorityClass = 32;
constexpr std::int32_t HighPriorityClass = 128;

class ProcessPriority {
public:
    virtual ~ProcessPriority() = default;
    // Sets the priority class of a process (ProcessId 0: the process owning
    // WindowHandle, or this process when that is 0 too) and returns the class
    // in force afterwards; 0 when the process cannot be reached. A priority
    // the process may not take is left as it is.
    virtual std::int32_t SetProcessPriority(std::int32_t ProcessId, std::int64_t WindowHandle,
                                            std::int32_t PriorityClass) = 0;
};

// The system's own: nice values on Linux and macOS, priority classes on Windows.
class SystemProcessPriority : public ProcessPriority {
public:
    std::int32_t SetProcessPriority(std::int32_t ProcessId, std::int64_t WindowHandle,
                                    std::int32_t PriorityClass) override;
};

}  // namespace pelora
