#pragma once

#include "platform/Utf8Path.h"
#include "profile/SavedProfile.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace pelora {

class CommModule;
class Dialogs;
class TextSource;
class LocalTime;
class ProcessPriority;
class TaskLog;
struct BackupContent;
struct BackupReadResult;

// Where backup files live: the program's folder when the program may write
// there, else the user's own data folder for this program. Look-ups try the
// program's folder first.
struct BackupFolders {
    std::filesystem::path Program;
    std::filesystem::path User;
};

// What the profile operations work through.
struct ProfileSeams {
    CommModule& Link;
    TaskLog& Log;
    Dialogs& Dialog;
    const TextSource& Texts;
    ProcessPriority& Priority;
    LocalTime& Time;
    BackupFolders Folders;
    std::function<void()> ResetStage;
    // Opens the cable's port again when it was lost (the diver plugged the
    // cable back in); false when it cannot be opened. Empty: the port stays
    // as it is.
    std::function<bool()> ReopenPort = {};
};

// The device facts of the loaded image that the profile depends on.
struct ProfileDevice {
    std::uint16_t ModelNumber = 0;
    int MemorySize = 512;
};

// Saves the diver's profile before new code goes in, writes it back
// afterwards, and offers the recovery at close. Lives for one call; the
// saved profile itself lives in `profile` for the whole run.
class ProfileKeeper {
public:
    ProfileKeeper(SavedProfile& profile, ProfileSeams seams, ProfileDevice device)
        : profile_(profile), seams_(std::move(seams)), device_(device)
    {
    }

    // Reads block 0 (serial number, header record) and loads the backup file
    // of the connected device when there is a usable one. True when the
    // loaded file's profile is the one to restore. A failed read of block 0
    // leaves CommFailed set and decides nothing.
    bool GetBackupProfile();
    // The backup step of the update: the profile into memory and into a
    // backup file, unless a usable backup file was found. CommFailed set
    // means it failed; ProfileRestorePending false means there was nothing
    // to save. Once the profile is in its file, ProfileSafe is false until
    // a restore is verified.
    void BackupProfile();
    // Writes the saved profile back, verifies its header record, moves the
    // backup file to the archive once verified, and sets the device clock.
    void RestoreProfile();
    // Run from Close while a restore is outstanding: the diver connects the
    // device again and the profile is restored, or declines; a declined
    // profile stays in its backup file for the next run, and a box says where.
    void ProfileRecovering();
    // True when a backup file of this image's model lies in a backup folder,
    // whatever device it is of: a profile may be waiting to go back.
    bool AnyBackupOfThisModel() const;

private:
    // GetBackupProfile's parts.
    std::filesystem::path DefaultBackupPath(const std::string& fileName) const;
    bool ChooseBackupFile(const std::string& fileName, std::filesystem::path* chosen, BackupReadResult* file);
    void UseBackupFile(const BackupReadResult& file);
    bool LoadedFileIsUsable(const BackupReadResult& file);
    bool DiverKeepsDeviceProfile(const std::filesystem::path& path);
    bool SetAsideDamagedFile(const std::filesystem::path& path);
    void UseDeviceSerialDigits();
    // Reads one block until two reads in a row agree; false with CommFailed
    // set when the link fails or the reads keep differing.
    bool ReadAgreeingBlock(std::int32_t address);

    // BackupProfile's parts.
    void ReadProfileBlocks();
    bool WriteBackupFile(std::string* failures);
    void FinishBackup();
    void FailBackup(int errorText, const std::string& boxText = {});

    // RestoreProfile's parts.
    bool WriteProfileBlocks();
    bool WriteAndVerifyHeaderRecord();
    void FailRestore(int errorText);
    void SetDeviceClockTwice();
    void ArchiveRestoredFile();

    // ProfileRecovering's parts. An attempt either decides the profile's
    // fate (restored, or nothing owed to the device connected) or fails for
    // the reason its text names.
    struct Attempt {
        bool restored = false;
        int failure = 0;
    };
    bool RecoverUntilDecided();
    std::string RecoveryInstructions() const;
    Attempt TryRecovery();
    Attempt IdentifyAndRestore();
    Attempt FailAttempt(int reason);
    void TellWhereTheProfileStays(const std::filesystem::path& path);
    // Keeps a backup the diver replaced by the device's own profile in the
    // archive folder beside it; false, with the system's reason, when it
    // stays where it is.
    bool ArchiveBackupFile(std::string* reason = nullptr);

    std::string Text(int id) const;
    BackupContent Content() const;
    bool LinkFailed() const;

    SavedProfile& profile_;
    ProfileSeams seams_;
    ProfileDevice device_;
    int restoreFailure_ = 0;  // why the last restore failed
};

// The clock texts the device takes: "mm/dd/yy" and "hh:mm:ss" (24-hour).
std::pair<std::string, std::string> ClockTexts(int year, int month, int day, int hour, int minute, int second);

}  // namespace pelora
