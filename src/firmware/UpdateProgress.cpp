#include "firmware/UpdateProgress.h"

#include <algorithm>

namespace pelora {

void UpdateProgress::Start()
{
    current_ = Identify;
    fraction_ = 0.0;
    shown_ = 0.0;
    if (report_) report_(0.0);
}

void UpdateProgress::Enter(Step step)
{
    current_ = std::max(current_, step);
    fraction_ = 0.0;
    Show();
}

void UpdateProgress::StepFraction(double fraction)
{
    fraction_ = std::clamp(fraction, 0.0, 1.0);
    Show();
}

void UpdateProgress::Finish()
{
    shown_ = 1.0;
    if (report_) report_(1.0);
}

// A value that would go back (a step turned out longer) waits until the
// update catches up with it.
void UpdateProgress::Show()
{
    double total = 0.0;
    double done = 0.0;
    for (int step = Identify; step < StepCount; ++step) {
        const double seconds = std::max(weigh_(static_cast<Step>(step)), 0.0);
        total += seconds;
        if (step < current_) done += seconds;
        if (step == current_) done += fraction_ * seconds;
    }
    if (total <= 0.0) return;
    const double value = std::min(done / total, 1.0);
    if (value <= shown_) return;
    shown_ = value;
    if (report_) report_(shown_);
}

void ProgressTaskLog::InsertTaskList(int IconInd, const std::string& S1, const std::string& S2)
{
    log_.InsertTaskList(IconInd, S1, S2);
}

void ProgressTaskLog::SetTaskStatus(const std::string& S)
{
    log_.SetTaskStatus(S);
    // Only a whole number and "%" is a step's progress.
    if (S.size() < 2 || S.back() != '%') return;
    int percent = 0;
    for (std::size_t i = 0; i + 1 < S.size(); ++i) {
        if (S[i] < '0' || S[i] > '9') return;
        percent = percent * 10 + (S[i] - '0');
        if (percent > 100) return;
    }
    progress_.StepFraction(percent / 100.0);
}

}  // namespace pelora
