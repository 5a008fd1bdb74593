#pragma once

#include <filesystem>
#include <string>
#include <system_error>

namespace pelora::filetext {

// For messages: the path as UTF-8, which converts on every system.
inline std::string Shown(const std::filesystem::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

inline std::string SystemReason(int code) { return code != 0 ? std::generic_category().message(code) : "unknown error"; }

}  // namespace pelora::filetext
