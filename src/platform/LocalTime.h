#pragma once

#include <cstdio>
#include <string>

namespace pelora {

// A local date and time of day, as the user's system shows it.
struct LocalDateTime {
    int year = 2000;  // four digits
    int month = 1;
    int day = 1;
    int hour = 0;  // 0..23
    int minute = 0;
    int second = 0;
};

// The local date and time: the device clock, the names of moved files and
// the update record take it from here, so tests can fix it.
class LocalTime {
public:
    virtual ~LocalTime() = default;
    virtual LocalDateTime Now() = 0;
};

class SystemLocalTime : public LocalTime {
public:
    LocalDateTime Now() override;
};

// "yyyymmdd-hhmmss", for file names that sort by time.
inline std::string FileStamp(const LocalDateTime& t)
{
    char text[48];
    std::snprintf(text, sizeof text, "%04d%02d%02d-%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
    return text;
}

// "yyyy-mm-dd hh:mm", for people.
inline std::string ReadableStamp(const LocalDateTime& t)
{
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day, t.hour, t.minute);
    return text;
}

}  // namespace pelora
