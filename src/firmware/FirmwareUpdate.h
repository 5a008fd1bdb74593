#pragma once

#include "firmware/GetCode.h"
#include "firmware/UpdateProgress.h"
#include "profile/ProfileKeeper.h"
#include "profile/SavedProfile.h"

#include <cstdint>
#include <functional>
#include <string>

namespace pelora {

class Clock;
class CommModule;
class EventPump;
class TextSource;
class LocalTime;
class ProcessPriority;
class TaskLog;

// What the update works through. The window implements the task log and
// the stage reset; `Profile` gives the profile operations with the update's
// own task log, so their progress counts too.
struct UpdateSeams {
    CommModule& Link;
    TaskLog& Log;
    const TextSource& Texts;
    ProcessPriority& Priority;
    Clock& Time;
    EventPump& Pump;
    LocalTime& LocalClock;
    std::function<void()> ResetStage;
    std::function<ProfileKeeper(TaskLog&)> Profile;
    // The whole update's progress, 0 to 1; never goes back.
    std::function<void(double)> OverallProgress;
};

// The update itself: identification, the version decision, the profile
// backup, the code upload, the restart wait, the verification, the profile
// restore and the final row. Lives for the whole run.
class FirmwareUpdate {
public:
    FirmwareUpdate(const ImageState& image, SavedProfile& profile, UpdateSeams seams);

    void UpdateFirmware();
    void UploadCode();
    void UploadCode2();
    void WaitForReset(double Seconds);
    void VerifyNewCode();
    // From the first code block until the profile is verified back (the
    // upload, the restart, the verification, the restore): stopping now
    // leaves the device without its code or its profile until the recovery.
    bool StoppingHarms() const
    {
        return delicate_ == Delicate::Code || (delicate_ == Delicate::Profile && !profile_.ProfileSafe);
    }

    std::uint8_t DeviceCodeRevision = 0;

private:
    enum class Decision { Update, NothingToUpdate, Stop };
    bool IdentifyDevice();
    Decision DecideByLayout();
    bool ProfileWaiting();
    void LogDeviceCode();
    void UploadByLayout();
    bool UploadAndRestart(int region, double restartSeconds);
    void UploadRegion(int region);
    void WriteProfileBack();
    void FinishUpdate();
    void FailNoAnswer();
    double StepSeconds(UpdateProgress::Step step) const;
    void SetDeviceClock();
    bool RevisionShown() const;
    std::string ProductName() const;
    std::string Text(int id) const;

    const ImageState& image_;
    SavedProfile& profile_;
    UpdateSeams seams_;
    UpdateProgress progress_;
    ProgressTaskLog log_;
    // The new code was sent and its version not confirmed.
    bool unconfirmed_ = false;
    // An upload began: the device may no longer be as it was.
    bool codeSent_ = false;
    // The profile went back and its header record was verified.
    bool restored_ = false;
    // The backup folders were looked at for this device's profile.
    bool profileLookedUp_ = false;
    enum class Delicate { Nothing, Code, Profile };
    Delicate delicate_ = Delicate::Nothing;
};

}  // namespace pelora
