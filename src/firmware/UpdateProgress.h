#pragma once

#include "platform/TaskLog.h"

#include <functional>
#include <string>

namespace pelora {

// The whole update's progress, weighted by the time each step takes: block
// transfers by their bytes on the wire, waits by their seconds.
class UpdateProgress {
public:
    enum Step { Identify, Backup, Upload1, Wait1, Upload2, Wait2, Verify, Restore, StepCount };

    // Seconds on the wire at 38,400 baud, 10 bits a byte.
    static constexpr double ByteSeconds = 10.0 / 38400.0;
    // A backup's block: read twice (until two reads agree), each a request
    // and a 129-byte reply. A block write: header, its acknowledgement, 130
    // bytes of data and theirs.
    static constexpr double BlockReadSeconds = 2 * (4 + 129) * ByteSeconds;
    static constexpr double BlockWriteSeconds = (4 + 1 + 130 + 1) * ByteSeconds;

    // `weigh` tells a step's expected seconds from what is known at the time
    // (a block count becomes known during the update); `report` shows the
    // fraction done.
    UpdateProgress(std::function<double(Step)> weigh, std::function<void(double)> report)
        : weigh_(std::move(weigh)), report_(std::move(report))
    {
    }

    void Start();
    // A step begins; steps before it count as done, skipped or not.
    void Enter(Step step);
    // How far the current step has come, 0 to 1.
    void StepFraction(double fraction);
    void Finish();
    double Fraction() const { return shown_; }

private:
    void Show();

    std::function<double(Step)> weigh_;
    std::function<void(double)> report_;
    Step current_ = Identify;
    double fraction_ = 0.0;
    double shown_ = 0.0;
};

// A task log that passes everything on and reads the percentage statuses of
// the running step ("37%") as its progress.
class ProgressTaskLog : public TaskLog {
public:
    ProgressTaskLog(TaskLog& log, UpdateProgress& progress) : log_(log), progress_(progress) {}
    void InsertTaskList(int IconInd, const std::string& S1, const std::string& S2) override;
    void SetTaskStatus(const std::string& S) override;

private:
    TaskLog& log_;
    UpdateProgress& progress_;
};

}  // namespace pelora
