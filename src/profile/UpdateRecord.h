#pragma once

#include "profile/ProfileKeeper.h"

#include <filesystem>
#include <string>

namespace pelora {

class LocalTime;

// FirmwareUpdate.log in the backup folder: every task-log row and status,
// with the local date and time, appended as UTF-8 text, so a diver can send
// support the record of an update. A record that cannot be written never
// stops anything.
class UpdateRecord {
public:
    static constexpr const char* FileName = "FirmwareUpdate.log";

    UpdateRecord(BackupFolders folders, LocalTime& time) : folders_(std::move(folders)), time_(time) {}

    void Row(int icon, const std::string& event, const std::string& status);
    // Percentages are kept at every tenth only: the rest says nothing new.
    void Status(const std::string& status);
    // A line for support that the task log does not show; nothing for "".
    void Note(const std::string& text);

    // Where the last line went; empty until one was written.
    const std::filesystem::path& Path() const { return path_; }

private:
    void Append(const std::string& text);
    bool AppendTo(const std::filesystem::path& path, const std::string& line);

    BackupFolders folders_;
    LocalTime& time_;
    std::filesystem::path path_;
};

}  // namespace pelora
