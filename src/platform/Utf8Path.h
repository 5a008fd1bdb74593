#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace pelora {

// Paths travel through the program as UTF-8 (Qt, the configuration, the
// saved profile, messages). A narrow std::string given to or taken from
// std::filesystem::path is read in the system's code page on Windows, so
// every crossing goes through these two: char8_t is UTF-8 on every system.
inline std::filesystem::path PathFromUtf8(std::string_view text)
{
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string Utf8Of(const std::filesystem::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace pelora
