#pragma once

// Recording and scripted stand-ins for the window's services, shared by the
// suites that drive product code on the emulated device.

#include "platform/Dialogs.h"
#include "platform/LocalTime.h"
#include "platform/ProcessPriority.h"
#include "platform/TaskLog.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace testsupport {

// Message boxes answered from a script; any box the script does not expect
// fails the test. An empty expected text accepts any text.
struct ScriptedDialogs : pelora::Dialogs {
    struct Box {
        Icon icon;
        Buttons buttons;
        std::string title, text;
        Answer answer;
        bool escape = false;  // dismissed with Esc: the answer is the one that keeps data
    };
    void Expect(Box box) { script_.push_back(std::move(box)); }
    bool Finished() const { return script_.empty(); }
    std::vector<std::string> shownTexts;

    Answer Show(Icon icon, Buttons buttons, const std::string& title, const std::string& text) override
    {
        const Answer dismissed =
            buttons == Buttons::Ok ? Answer::Ok : buttons == Buttons::OkCancel ? Answer::Cancel : Answer::No;
        return Ask(icon, buttons, title, text, dismissed);
    }
    Answer Ask(Icon icon, Buttons buttons, const std::string& title, const std::string& text, Answer keeps) override
    {
        shownTexts.push_back(text);
        if (script_.empty()) {
            ADD_FAILURE() << "unexpected message box \"" << title << "\": " << text;
            return buttons == Buttons::YesNo ? Answer::No : Answer::Cancel;
        }
        const Box box = script_.front();
        script_.pop_front();
        EXPECT_EQ(std::tuple(static_cast<int>(icon), static_cast<int>(buttons), title, box.text.empty() ? "" : text),
                  std::tuple(static_cast<int>(box.icon), static_cast<int>(box.buttons), box.title, box.text));
        return box.escape ? keeps : box.answer;
    }
    std::deque<Box> script_;
};

struct RecordingPriority : pelora::ProcessPriority {
    std::vector<std::int32_t> classes;
    std::int32_t SetProcessPriority(std::int32_t, std::int64_t, std::int32_t PriorityClass) override
    {
        classes.push_back(PriorityClass);
        return PriorityClass;
    }
};

struct FixedLocalTime : pelora::LocalTime {
    pelora::LocalDateTime now{2026, 3, 5, 14, 7, 9};
    pelora::LocalDateTime Now() override { return now; }
};

// The task log as rows of "icon|event|status".
struct RecordingTaskLog : pelora::TaskLog {
    std::vector<std::string> rows;
    void InsertTaskList(int IconInd, const std::string& S1, const std::string& S2) override
    {
        rows.push_back(std::to_string(IconInd) + "|" + S1 + "|" + S2);
    }
    void SetTaskStatus(const std::string& S) override
    {
        if (!rows.empty()) rows.back() = rows.back().substr(0, rows.back().rfind('|') + 1) + S;
    }
};

}  // namespace testsupport
