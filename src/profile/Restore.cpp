// Writing the diver's profile back, and the recovery offered at close.
#include "profile/ProfileKeeper.h"

#include "link/CommModule.h"
#include "platform/Dialogs.h"
#include "platform/LocalTime.h"
#include "platform/ProcessPriority.h"
#include "platform/Progress.h"
#include "platform/TaskLog.h"
#include "platform/TextSource.h"
#include "profile/BackupFile.h"
#include "profile/ProfileTexts.h"

#include <cstdio>
#include <system_error>

namespace pelora {

using namespace profiletext;

namespace {

constexpr std::uint8_t kProfileBlockWrite = 0xB5;
constexpr std::int32_t kHeaderRecordUnit = 4;
constexpr int kHeaderRecordIndex = 65;  // block 0 byte 64 in RxBuf
constexpr int kClockFlag = 233;
constexpr std::size_t kRestoredCopiesKept = 5;

// The record went in: its header was not refused and its data acknowledged.
bool RecordAccepted(const LinkState& link) { return !link.CommFailed && link.ReplyDone && !link.NakReceived; }

bool FitsAByte(std::int16_t value) { return value >= 0 && value <= 255; }

}  // namespace

std::pair<std::string, std::string> ClockTexts(int year, int month, int day, int hour, int minute, int second)
{
    char date[16];
    char time[16];
    std::snprintf(date, sizeof date, "%02d/%02d/%02d", month % 100, day % 100, year % 100);
    std::snprintf(time, sizeof time, "%02d:%02d:%02d", hour % 100, minute % 100, second % 100);
    return {date, time};
}

void ProfileKeeper::RestoreProfile()
{
    seams_.Log.InsertTaskList(TaskLog::StepIcon, Text(RestoreRow), "");
    seams_.Link.State().CommFailed = false;
    profile_.RestoreBegunFrom = profile_.BackupFilePath;
    if (!WriteProfileBlocks()) {
        FailRestore(WritingFailed);
    } else if (!WriteAndVerifyHeaderRecord()) {
        FailRestore(VerifyFailed);
    } else {
        seams_.Log.SetTaskStatus(Text(Done));
        profile_.ProfileSafe = true;
        ArchiveRestoredFile();
    }
    SetDeviceClockTwice();
}

// Only the header record was read back, not the blocks: a copy of the file
// stays in the archive, so a block the device stored wrongly never loses the
// logbook for good. The newest few per device are enough.
void ProfileKeeper::ArchiveRestoredFile()
{
    const std::filesystem::path path = PathFromUtf8(profile_.BackupFilePath);
    if (!PathExists(path)) return;
    std::string ignored;
    std::error_code error;
    if (MoveFile(path, RestoredArchivePath(path, seams_.Time.Now()), &ignored))
        PruneRestoredCopies(path, kRestoredCopiesKept);
    else
        std::filesystem::remove(path, error);  // the profile is on the device; a stale file must not come back
}

// The blocks go back in the order they were saved; the header record,
// which makes them the device's profile, comes last.
bool ProfileKeeper::WriteProfileBlocks()
{
    auto& link = seams_.Link.State();
    for (int i = 1; i <= profile_.ProfileBlockCount; ++i) {
        seams_.Log.SetTaskStatus(PercentText(i, profile_.ProfileBlockCount));
        const auto& row = profile_.ProfileBlocks.Block(i);
        for (std::size_t k = 1; k <= 129; ++k) {
            if (!FitsAByte(row[k])) return false;  // only a damaged table; it never reaches the device
            link.BlockBuf[k - 1] = static_cast<std::uint8_t>(row[k]);
        }
        seams_.Link.WriteBlock(row[0], kProfileBlockWrite);
        if (LinkFailed()) return false;
    }
    return true;
}

// Verified only when the record was accepted and block 0 really came back:
// bytes left in the buffer by an earlier read must never confirm a restore.
bool ProfileKeeper::WriteAndVerifyHeaderRecord()
{
    auto& link = seams_.Link.State();
    std::copy(profile_.ProfileHeader.begin(), profile_.ProfileHeader.end(), link.BlockBuf.begin());
    try {
        seams_.Link.WriteRecord(kHeaderRecordUnit);
    } catch (const LinkRuntimeError&) {
        link.CommFailed = true;
    }
    if (!RecordAccepted(link)) return false;

    seams_.Link.Delay(2.0);
    seams_.Link.ReadMemoryBlocks(0, 0);
    seams_.Link.Delay(1.0);
    if (LinkFailed()) return false;
    for (std::size_t k = 0; k < 16; ++k) {
        const std::size_t index = kHeaderRecordIndex + k;
        if (index >= link.RxBuf.size() || link.RxBuf[index] != profile_.ProfileHeader[k]) return false;
    }
    return true;
}

void ProfileKeeper::FailRestore(int errorText)
{
    restoreFailure_ = errorText;
    profile_.ProfileSafe = false;
    seams_.Log.SetTaskStatus(Text(Failed));
    seams_.Log.InsertTaskList(TaskLog::FailureIcon, Text(errorText), "");
    seams_.ResetStage();
}

// New code starts with its clock unset; set it in every outcome.
void ProfileKeeper::SetDeviceClockTwice()
{
    for (int pass = 0; pass < 2; ++pass) {
        const LocalDateTime now = seams_.Time.Now();
        const auto [date, time] = ClockTexts(now.year, now.month, now.day, now.hour, now.minute, now.second);
        try {
            seams_.Link.SetDeviceClock(date, time, kClockFlag);
        } catch (const LinkRuntimeError&) {
            seams_.Link.State().CommFailed = true;
        }
    }
}

void ProfileKeeper::ProfileRecovering()
{
    const std::filesystem::path owed = PathFromUtf8(profile_.BackupFilePath);
    // Dismissing the question leaves the file where the next run finds it.
    const auto answer = seams_.Dialog.Ask(Dialogs::Icon::Exclamation, Dialogs::Buttons::YesNo, Text(RecoveryTitle),
                                          Text(RecoveryQuestion), Dialogs::Answer::No);
    bool restored = false;
    if (answer == Dialogs::Answer::Yes) {
        restored = RecoverUntilDecided();
        try {
            seams_.Link.SetSleepMode();
        } catch (const LinkRuntimeError&) {
        }
    }
    // The last words say where the profile is.
    if (restored)
        seams_.Dialog.Show(Dialogs::Icon::Information, Dialogs::Buttons::Ok, Text(RecoveryTitle),
                           Text(ProfileBackOnDevice));
    else
        TellWhereTheProfileStays(owed);
}

// Attempts until the profile's fate is decided or the diver gives up; true
// when it went back. After a failed attempt the instructions first say why.
bool ProfileKeeper::RecoverUntilDecided()
{
    Attempt attempt;
    while (!profile_.ProfileSafe) {
        const std::string failed =
            attempt.failure ? Text(AttemptFailed) + "\r\n" + Text(attempt.failure) + "\r\n\r\n" : "";
        const auto go = seams_.Dialog.Show(Dialogs::Icon::Information, Dialogs::Buttons::OkCancel,
                                           Text(RecoveryTitle), failed + RecoveryInstructions());
        if (go != Dialogs::Answer::Ok) return false;
        attempt = TryRecovery();
    }
    return attempt.restored;
}

// A profile not written back stays in its file, untouched: the next update
// run finds it and writes it back (without asking while the device's
// profile area is empty or unchanged).
void ProfileKeeper::TellWhereTheProfileStays(const std::filesystem::path& path)
{
    if (!PathExists(path)) return;
    seams_.Dialog.Show(Dialogs::Icon::Information, Dialogs::Buttons::Ok, Text(RecoveryTitle),
                       WithArgument(Text(ProfileStaysInFile), Utf8Of(path)));
}

// One attempt: the device must answer and its block 0 come back before
// anything is decided; otherwise the diver is asked to connect it again.
// The task log shows the attempt as it runs, a silent device too.
ProfileKeeper::Attempt ProfileKeeper::TryRecovery()
{
    seams_.Priority.SetProcessPriority(0, 0, HighPriorityClass);
    profile_.ProfileSafe = false;
    // A new attempt with the device connected again: stop requests left by
    // an earlier failure must not end it before it starts.
    seams_.Link.State().LinkAbort = false;
    seams_.Link.State().LinkCancel = false;
    seams_.Log.InsertTaskList(TaskLog::StepIcon, Text(LookingForDevice), "...");
    Attempt attempt;
    try {
        attempt = IdentifyAndRestore();
    } catch (const LinkRuntimeError&) {
        // The port refused to send: the cable is out again. Ask once more.
        attempt = FailAttempt(NoAnswer);
    }
    seams_.Priority.SetProcessPriority(0, 0, NormalPriorityClass);
    return attempt;
}

// Decides the profile's fate when the device answers; otherwise ProfileSafe
// stays false and the diver is asked again.
ProfileKeeper::Attempt ProfileKeeper::IdentifyAndRestore()
{
    if (seams_.ReopenPort && !seams_.ReopenPort()) return FailAttempt(NoAnswer);
    if (!seams_.Link.ReadDeviceId()) return FailAttempt(NoAnswer);
    seams_.Log.SetTaskStatus(Text(Done));
    if (GetBackupProfile()) {
        RestoreProfile();  // its rows say how it went
        return profile_.ProfileSafe ? Attempt{true, 0} : Attempt{false, restoreFailure_};
    }
    if (LinkFailed()) return FailAttempt(ReadingFailed);
    // No usable backup for the device connected: nothing to write to it.
    // A file of another device stays where it is.
    profile_.ProfileSafe = true;
    return {};
}

// A device that did not answer, or whose block 0 did not come back: the
// log says so, and so will the instructions.
ProfileKeeper::Attempt ProfileKeeper::FailAttempt(int reason)
{
    if (reason == NoAnswer) seams_.Log.SetTaskStatus(Text(Failed));
    seams_.Log.InsertTaskList(TaskLog::FailureIcon, Text(reason), "");
    return {false, reason};
}

std::string ProfileKeeper::RecoveryInstructions() const
{
    std::string text;
    int number = 0;
    auto numbered = [&](int id) { text += std::to_string(++number) + ". " + Text(id) + "\r\n"; };
    auto plain = [&](int id) { text += Text(id) + "\r\n"; };
    numbered(StepInstruction1);
    numbered(StepInstruction2);
    numbered(RecoveryStep3);
    plain(RecoveryNote1);
    plain(RecoveryNote2);
    plain(RecoveryNote3);
    text += "\r\n";
    numbered(RecoveryStep4);
    numbered(RecoveryStep5);
    numbered(RecoveryStep6);
    return text;
}

// The diver's only copy is kept, out of the way of later runs.
bool ProfileKeeper::ArchiveBackupFile(std::string* reason)
{
    const std::filesystem::path path = PathFromUtf8(profile_.BackupFilePath);
    if (!PathExists(path)) return true;
    std::string why;
    const auto moved = MoveFile(path, ArchivePath(path, seams_.Time.Now()), &why);
    if (moved) seams_.Log.InsertTaskList(TaskLog::InfoIcon, WithArgument(Text(BackupFileArchived), Utf8Of(*moved)), "");
    if (reason) *reason = why;
    return moved.has_value();
}

}  // namespace pelora
