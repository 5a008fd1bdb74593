#include "ExecutableFolder.h"

#include "Utf8Path.h"

#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

namespace pelora {

std::string ExecutableFolder()
{
#ifdef _WIN32
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0) return {};
        if (length < name.size()) {
            name.resize(length);
            break;
        }
        name.resize(name.size() * 2);
    }
    return Utf8Of(std::filesystem::path(name).parent_path());
#elif defined(__linux__)
    std::error_code ec;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : Utf8Of(program.parent_path());
#else
    return {};
#endif
}

}  // namespace pelora
