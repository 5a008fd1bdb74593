#include "profile/UpdateRecord.h"

#include "platform/LocalTime.h"

#include <cstdio>
#include <fstream>
#include <system_error>

namespace pelora {

namespace {

const char* IconWord(int icon)
{
    switch (icon) {
    case 0: return "step   ";
    case 1: return "result ";
    case 2: return "FAILED ";
    default: return "       ";
    }
}

// "37%" and the like; -1 for any other text.
int Percent(const std::string& status)
{
    if (status.size() < 2 || status.size() > 4 || status.back() != '%') return -1;
    int value = 0;
    for (std::size_t i = 0; i + 1 < status.size(); ++i) {
        if (status[i] < '0' || status[i] > '9') return -1;
        value = value * 10 + (status[i] - '0');
    }
    return value;
}

}  // namespace

void UpdateRecord::Row(int icon, const std::string& event, const std::string& status)
{
    Append(std::string(IconWord(icon)) + event + (status.empty() ? "" : "  [" + status + "]"));
}

void UpdateRecord::Status(const std::string& status)
{
    const int percent = Percent(status);
    if (percent >= 0 && percent % 10 != 0) return;
    Append("       -> " + status);
}

void UpdateRecord::Note(const std::string& text)
{
    if (!text.empty()) Append("note   " + text);
}

void UpdateRecord::Append(const std::string& text)
{
    const LocalDateTime t = time_.Now();
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d  ", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    const std::string line = stamp + text + "\n";
    // The folder that took the last line first, then the program's, then the user's.
    if (!path_.empty() && AppendTo(path_, line)) return;
    for (const auto& folder : {folders_.Program, folders_.User}) {
        if (folder.empty()) continue;
        std::error_code ignored;
        std::filesystem::create_directories(folder, ignored);
        if (AppendTo(folder / FileName, line)) {
            path_ = folder / FileName;
            return;
        }
    }
}

bool UpdateRecord::AppendTo(const std::filesystem::path& path, const std::string& line)
{
    std::ofstream file(path, std::ios::binary | std::ios::app);
    file << line;
    file.close();
    return !file.fail();
}

}  // namespace pelora
