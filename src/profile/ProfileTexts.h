#pragma once

#include <string>

namespace pelora::profiletext {

// Identifiers of the texts the profile operations show.
enum : int {
    NoAnswer = 150,
    Failed = 280,
    StepInstruction1 = 640,
    StepInstruction2 = 654,
    Done = 777,
    WritingFailed = 790,
    RestoreRow = 796,
    ReadingFailed = 797,
    RecoveryStep3 = 804,
    RecoveryNote1 = 805,
    RecoveryNote2 = 806,
    RecoveryNote3 = 807,
    RecoveryStep4 = 808,
    RecoveryStep5 = 809,
    VerifyFailed = 816,
    RecoveryTitle = 817,
    RecoveryQuestion = 818,
    RecoveryStep6 = 819,
    DamagedFileSetAside = 1001,     // %1: the new name
    TooManyBlocks = 1002,
    NoFolderWritable = 1003,        // followed by one line per folder and reason
    NothingSent = 1004,
    NewerDeviceProfile = 1005,      // %1: the backup file's date
    KeepDeviceProfileQuestion = 1006,
    KeepDeviceProfileAnswer = 1007,
    UseBackupFileAnswer = 1008,     // %1: the backup file's date
    BackupFileArchived = 1009,      // %1: where it went
    DamagedFileNotMovable = 1010,   // %1: the file
    ArchiveNotMovable = 1011,       // %1: the file
    NothingChanged = 1012,
    ProfileBackOnDevice = 1013,
    ProfileStaysInFile = 1014,      // %1: the file
    BackupRow = 1055,
    LookingForDevice = 1033,
    AttemptFailed = 1035,           // followed by the reason
};

// The text with its "%1" replaced by `argument`.
inline std::string WithArgument(std::string text, const std::string& argument)
{
    const auto at = text.find("%1");
    if (at != std::string::npos) text.replace(at, 2, argument);
    return text;
}

}  // namespace pelora::profiletext
