#pragma once

#include <string>

namespace pelora {

// The task log the user watches during an update. Row icons: 0 a step under
// way, 1 a result or information, 2 a failure.
class TaskLog {
public:
    enum Icon { StepIcon = 0, InfoIcon = 1, FailureIcon = 2 };

    virtual ~TaskLog() = default;
    // Appends a row: icon, the time of day, the event text S1 and status S2.
    virtual void InsertTaskList(int IconInd, const std::string& S1, const std::string& S2) = 0;
    // Rewrites the status of the newest row.
    virtual void SetTaskStatus(const std::string& S) = 0;
};

}  // namespace pelora
