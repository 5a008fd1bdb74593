// The update sequence: from the identification to the final row.
#include "firmware/FirmwareUpdate.h"

#include "link/CommModule.h"
#include "platform/Clock.h"
#include "platform/EventPump.h"
#include "platform/LocalTime.h"
#include "platform/ProcessPriority.h"
#include "platform/TaskLog.h"
#include "platform/TextSource.h"

#include <algorithm>

namespace pelora {

namespace {

enum TextId {
    NoAnswerText = 150,
    FailedText = 280,
    DoneText = 777,
    VersionLabelText = 781,
    IdentifyingText = 782,
    NotSupportedText = 783,
    OrNewerText = 784,
    UpToDateText = 785,
    FinishedText = 786,
    VerifyingText = 792,
    WrongDeviceText = 793,
    VerifiedText = 794,
    RestartWaitText = 803,
    NotFinishedText = 814,
    ProfileKeptText = 815,
    ProfileNotReadText = 797,
    NothingChangedText = 1012,
    ProfileBackText = 1013,
    UnclipAndCheckText = 1051,
    RestoreOrRunAgainText = 1052,
    RunAgainText = 1053,
};

constexpr int kClockFlag = 233;
constexpr double kRegion1Restart = 12.0;
constexpr double kRegion1RestartBeforeRegion2 = 10.0;
constexpr double kRegion2Restart = 45.0;
// An identification: request and 18-byte reply, and the reply time.
constexpr double kExchangeSeconds = 0.05;
// The restore's pauses before and after its read-back, and the clock.
constexpr double kRestoreExtraSeconds = 3.2;

// Versions compare as texts, by character codes.
bool VersionBelow(const std::string& a, const std::string& b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
}

std::string TwoDigits(int value) { return (value < 10 ? "0" : "") + std::to_string(value); }

}  // namespace

FirmwareUpdate::FirmwareUpdate(const ImageState& image, SavedProfile& profile, UpdateSeams seams)
    : image_(image),
      profile_(profile),
      seams_(std::move(seams)),
      progress_([this](UpdateProgress::Step step) { return StepSeconds(step); }, seams_.OverallProgress),
      log_(seams_.Log, progress_)
{
}

std::string FirmwareUpdate::Text(int id) const { return seams_.Texts.GetText(id); }

std::string FirmwareUpdate::ProductName() const { return AnsiToUtf8(image_.ImageProductName); }

bool FirmwareUpdate::RevisionShown() const { return image_.RevisionSetting >= 1 && image_.RevisionSetting <= 99; }

void FirmwareUpdate::UpdateFirmware()
{
    auto& link = seams_.Link.State();
    unconfirmed_ = codeSent_ = restored_ = profileLookedUp_ = false;
    delicate_ = Delicate::Nothing;
    // Each update meets its device afresh: a revision read from an earlier
    // device in this run says nothing about this one.
    DeviceCodeRevision = 0;
    progress_.Start();
    seams_.Priority.SetProcessPriority(0, 0, HighPriorityClass);
    try {
        if (!IdentifyDevice()) return;
        switch (DecideByLayout()) {
        case Decision::Stop: return;
        case Decision::NothingToUpdate:
            if (!ProfileWaiting()) return;
            break;  // a profile saved by an earlier run goes back
        case Decision::Update:
            LogDeviceCode();
            if (profile_.ProfileRestorePending) {
                progress_.Enter(UpdateProgress::Backup);
                profileLookedUp_ = true;
                seams_.Profile(log_).BackupProfile();
            }
            // Never code without a saved profile: a failed backup stops here.
            if (!link.CommFailed) UploadByLayout();
            break;
        }
        WriteProfileBack();
    } catch (const LinkRuntimeError&) {
        // The port refused to send (the cable was pulled). Before the profile
        // was looked at, nothing has changed: the device just did not answer.
        if (!profileLookedUp_) {
            FailNoAnswer();
            return;
        }
        link.CommFailed = true;
    }
    FinishUpdate();
}

bool FirmwareUpdate::IdentifyDevice()
{
    auto& link = seams_.Link;
    log_.InsertTaskList(TaskLog::StepIcon, Text(IdentifyingText), "...");
    if (!link.ReadDeviceId()) {
        FailNoAnswer();
        return false;
    }
    log_.SetTaskStatus(Text(DoneText));
    if (!link.CheckDeviceId(link.DeviceIdText, image_.ImageModelKey)) {
        log_.InsertTaskList(TaskLog::FailureIcon, Text(NotSupportedText) + " " + ProductName() + "!", "");
        link.State().CommFailed = true;
        seams_.ResetStage();
        return false;
    }
    if (RevisionShown()) DeviceCodeRevision = link.ReadCodeRevision();
    return true;
}

FirmwareUpdate::Decision FirmwareUpdate::DecideByLayout()
{
    auto& link = seams_.Link;
    const std::string& version = link.DeviceCodeVersion;
    // Stops with the device told to leave its PC mode; the flag is set after
    // that command, which clears it.
    auto stop = [&](int icon, const std::string& row) {
        log_.InsertTaskList(icon, row, "");
        link.SetSleepMode();
        link.State().CommFailed = true;
        seams_.ResetStage();
        return Decision::Stop;
    };
    switch (image_.Layout()) {
    case ImageLayout::Code1Only:
        if (VersionBelow(version, image_.MinCodeVersion))
            return stop(TaskLog::FailureIcon, Text(NotSupportedText) + ProductName() + ", " + Text(VersionLabelText) +
                                                  " " + image_.MinCodeVersion + " " + Text(OrNewerText));
        if (!VersionBelow(version, image_.ImageCodeVersion)) return Decision::NothingToUpdate;
        return Decision::Update;
    case ImageLayout::BothCodes:
        if (!VersionBelow(version, image_.ImageCodeVersion) && DeviceCodeRevision >= image_.ImageRevision)
            return Decision::NothingToUpdate;
        return Decision::Update;
    case ImageLayout::Code2Only:
        // Equal revisions update again.
        if (DeviceCodeRevision > image_.ImageRevision) return stop(TaskLog::InfoIcon, Text(UpToDateText));
        return Decision::Update;
    case ImageLayout::None: break;
    }
    return stop(TaskLog::FailureIcon, Text(NotSupportedText) + " " + ProductName() + "!");
}

// The device's code is as new as the image's. True when a profile that an
// earlier run saved is to go back now; also when block 0 could not be read
// while a backup of this model is waiting (CommFailed set): the profile then
// stays owed, and Close offers the recovery.
bool FirmwareUpdate::ProfileWaiting()
{
    log_.InsertTaskList(TaskLog::InfoIcon, Text(UpToDateText), "");
    if (profile_.ProfileRestorePending) {
        profileLookedUp_ = true;
        ProfileKeeper keeper = seams_.Profile(log_);
        if (keeper.GetBackupProfile()) {
            profile_.ProfileSafe = false;
            return true;
        }
        if (seams_.Link.State().CommFailed && keeper.AnyBackupOfThisModel()) {
            log_.InsertTaskList(TaskLog::FailureIcon, Text(ProfileNotReadText), "");
            profile_.ProfileSafe = false;
            return true;
        }
        profile_.ProfileRestorePending = false;
    }
    seams_.ResetStage();
    seams_.Link.SetSleepMode();
    return false;
}

void FirmwareUpdate::LogDeviceCode()
{
    std::string row = ProductName() + ", " + Text(VersionLabelText) + ": " + seams_.Link.DeviceCodeVersion;
    if (RevisionShown()) row += "." + TwoDigits(DeviceCodeRevision);
    log_.InsertTaskList(TaskLog::InfoIcon, row, "");
}

void FirmwareUpdate::UploadByLayout()
{
    switch (image_.Layout()) {
    case ImageLayout::Code1Only:
        if (!UploadAndRestart(1, kRegion1Restart)) return;
        break;
    case ImageLayout::Code2Only:
        if (!UploadAndRestart(2, kRegion2Restart)) return;
        break;
    case ImageLayout::BothCodes:
        if (!UploadAndRestart(1, kRegion1RestartBeforeRegion2)) return;
        // The identification text is not compared again between the regions.
        if (!seams_.Link.ReadDeviceId()) {
            FailNoAnswer();
            return;
        }
        if (!UploadAndRestart(2, kRegion2Restart)) return;
        break;
    case ImageLayout::None: return;
    }
    progress_.Enter(UpdateProgress::Verify);
    VerifyNewCode();
}

// One region's blocks and closing command, then its restart; false when the
// upload failed.
bool FirmwareUpdate::UploadAndRestart(int region, double restartSeconds)
{
    const bool first = region == 1;
    progress_.Enter(first ? UpdateProgress::Upload1 : UpdateProgress::Upload2);
    codeSent_ = true;
    delicate_ = Delicate::Code;
    if (first)
        UploadCode();
    else
        UploadCode2();
    if (seams_.Link.State().CommFailed) return false;
    progress_.Enter(first ? UpdateProgress::Wait1 : UpdateProgress::Wait2);
    WaitForReset(restartSeconds);
    return true;
}

// A failed step leaves the profile where the backup put it: on the device
// while no file holds it, else in its file for the recovery at Close.
void FirmwareUpdate::WriteProfileBack()
{
    if (!profile_.ProfileRestorePending || seams_.Link.State().CommFailed) return;
    progress_.Enter(UpdateProgress::Restore);
    delicate_ = Delicate::Profile;
    seams_.Profile(log_).RestoreProfile();
    restored_ = profile_.ProfileSafe;
}

// The outcome is the update's own, taken before the final mode command,
// which clears the failure flag. An update whose new code was not confirmed
// is not finished either. After a failure, a row says where the diver's
// profile is. The last row says what to do next: unclip and check the
// device; after a failure, Close for the recovery while the profile is owed,
// else another run.
void FirmwareUpdate::FinishUpdate()
{
    delicate_ = Delicate::Nothing;
    auto& link = seams_.Link;
    const bool profileBack = !profile_.ProfileRestorePending || restored_;
    const bool succeeded = !link.State().CommFailed && profileBack && !unconfirmed_;
    try {
        link.SetSleepMode();
    } catch (const LinkRuntimeError&) {
    }
    if (succeeded) {
        log_.InsertTaskList(TaskLog::InfoIcon, Text(FinishedText), "");
        log_.InsertTaskList(TaskLog::InfoIcon, Text(UnclipAndCheckText), "");
    } else {
        log_.InsertTaskList(TaskLog::FailureIcon, Text(NotFinishedText), "");
        if (!profile_.ProfileSafe)
            log_.InsertTaskList(TaskLog::InfoIcon, Text(ProfileKeptText), "");
        else if (restored_)
            log_.InsertTaskList(TaskLog::InfoIcon, Text(ProfileBackText), "");
        else if (!codeSent_)
            log_.InsertTaskList(TaskLog::InfoIcon, Text(NothingChangedText), "");
        log_.InsertTaskList(TaskLog::InfoIcon, Text(profile_.ProfileSafe ? RunAgainText : RestoreOrRunAgainText), "");
    }
    // The update is over, whichever way: normal priority, and Back for another run.
    seams_.ResetStage();
    progress_.Finish();
}

void FirmwareUpdate::WaitForReset(double Seconds)
{
    log_.InsertTaskList(TaskLog::StepIcon, Text(RestartWaitText), "...");
    const double start = seams_.Time.Now();
    for (;;) {
        const double elapsed = seams_.Time.Now() - start;
        progress_.StepFraction(Seconds > 0 ? elapsed / Seconds : 1.0);
        if (elapsed > Seconds) break;
        // Wakes a few times a second, so the progress bar moves meanwhile.
        seams_.Pump.Yield(start + std::min(elapsed + 0.25, Seconds + 1e-6));
    }
    log_.SetTaskStatus(Text(DoneText));
}

void FirmwareUpdate::VerifyNewCode()
{
    auto& link = seams_.Link;
    log_.InsertTaskList(TaskLog::StepIcon, Text(VerifyingText), "...");
    if (!link.ReadDeviceId()) {
        FailNoAnswer();
        return;
    }
    log_.SetTaskStatus(Text(DoneText));
    if (!link.CheckDeviceId(link.DeviceIdText, image_.ImageModelKey)) {
        // Another model after the restart: no profile may go into it.
        log_.InsertTaskList(TaskLog::FailureIcon, Text(WrongDeviceText), "");
        link.SetSleepMode();
        link.State().CommFailed = true;
        seams_.ResetStage();
        return;
    }
    const bool versionNew = !VersionBelow(link.DeviceCodeVersion, image_.ImageCodeVersion);
    bool confirmed = false;
    switch (image_.Layout()) {
    case ImageLayout::Code1Only: confirmed = versionNew; break;
    case ImageLayout::Code2Only:
        DeviceCodeRevision = link.ReadCodeRevision();
        confirmed = DeviceCodeRevision >= image_.ImageRevision;
        break;
    case ImageLayout::BothCodes:
        DeviceCodeRevision = link.ReadCodeRevision();
        confirmed = versionNew && DeviceCodeRevision >= image_.ImageRevision;
        break;
    case ImageLayout::None: break;
    }
    if (confirmed) log_.InsertTaskList(TaskLog::InfoIcon, Text(VerifiedText), "");
    unconfirmed_ = !confirmed;
    // With a profile to restore, the restore sets the clock.
    if (!profile_.ProfileRestorePending) SetDeviceClock();
    seams_.ResetStage();
}

void FirmwareUpdate::SetDeviceClock()
{
    const LocalDateTime now = seams_.LocalClock.Now();
    const auto [date, time] = ClockTexts(now.year, now.month, now.day, now.hour, now.minute, now.second);
    seams_.Link.SetDeviceClock(date, time, kClockFlag);
}

void FirmwareUpdate::FailNoAnswer()
{
    log_.SetTaskStatus(Text(FailedText));
    log_.InsertTaskList(TaskLog::FailureIcon, Text(NoAnswerText), "");
    seams_.Link.State().CommFailed = true;
    seams_.ResetStage();
}

double FirmwareUpdate::StepSeconds(UpdateProgress::Step step) const
{
    const bool both = image_.BothCodes;
    const double profileBlocks = profile_.ProfileRestorePending ? profile_.ProfileBlockCount : 0;
    switch (step) {
    case UpdateProgress::Identify:
    case UpdateProgress::Verify: return kExchangeSeconds;
    case UpdateProgress::Backup: return profileBlocks * UpdateProgress::BlockReadSeconds;
    case UpdateProgress::Upload1:
        return image_.Code2Only ? 0.0 : image_.Code1BlockCount * UpdateProgress::BlockWriteSeconds;
    case UpdateProgress::Wait1: return image_.Code2Only ? 0.0 : both ? kRegion1RestartBeforeRegion2 : kRegion1Restart;
    case UpdateProgress::Upload2:
        return image_.Code1Only ? 0.0 : image_.Code2BlockCount * UpdateProgress::BlockWriteSeconds;
    case UpdateProgress::Wait2: return image_.Code1Only ? 0.0 : kRegion2Restart;
    case UpdateProgress::Restore:
        return profile_.ProfileRestorePending ? profileBlocks * UpdateProgress::BlockWriteSeconds + kRestoreExtraSeconds
                                              : 0.0;
    case UpdateProgress::StepCount: break;
    }
    return 0.0;
}

}  // namespace pelora
