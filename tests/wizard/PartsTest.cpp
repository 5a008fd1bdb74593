// The window's parts that need no window: the task log, the instruction
// pages, and the platform services the window leans on.
#include "link/SystemPortFinder.h"
#include "platform/ProcessPriority.h"
#include "wizard/StepInstructions.h"
#include "wizard/TaskList.h"

#include <gtest/gtest.h>

#include <unistd.h>

using pelora::TaskList;

// A row from its tab-separated text: two digits each on the 24-hour clock,
// the icon where the list has that picture; the status rewrites only the
// newest row.
TEST(TaskLog, RowsAndTheNewestStatus)
{
    TaskList list;
    list.SetNewestStatus("nothing to rewrite");
    EXPECT_EQ(list.topLevelItemCount(), 0);
    list.AddRow(TaskList::RowText(QTime(9, 5, 3), "Reading", "..."), 0);
    list.AddRow(TaskList::RowText(QTime(23, 59, 59), "Odd", "..."), 7);
    list.SetNewestStatus("Done");
    QStringList rows;
    for (int i = 0; i < list.topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = list.topLevelItem(i);
        rows << QStringList{row->text(0), row->text(1), row->text(2), row->text(3),
                            row->icon(0).isNull() ? "-" : "icon", row->data(0, Qt::UserRole).toString()}
                    .join('|');
    }
    EXPECT_EQ(rows, (QStringList{"|09:05:03|Reading|...|icon|0", "|23:59:59|Odd|Done|-|7"}));
}

// Items number on across both pages, each its own paragraph, and each page
// ends with the way on; page 2 leaves ten lines free for the illustration,
// which only it shows. A line's shape: its item number, '_' when empty, '>'
// for the way on, '-' for other text.
TEST(StepInstructions, PagesNumberOnAndOnlyPageTwoShowsTheIllustration)
{
    for (const auto& [stage, shape] : {std::pair{1, "1_2_3_4--_>"}, std::pair{2, "__________5_6--_>"}}) {
        std::string shapes;
        for (const QString& l : QString::fromStdString(pelora::StepInstructionsText(stage)).split("\r\n"))
            shapes += l.isEmpty() ? '_' : l[0].isDigit() ? l[0].toLatin1() : l.startsWith(">>>") ? '>' : '-';
        EXPECT_EQ(shapes, shape) << stage;
        EXPECT_EQ(pelora::StepShowsIllustration(stage), stage == 2);
    }
}

// The interface cable's port: "COM" and a number from 1 to 255, nothing after it but a terminator.
TEST(PortDiscovery, PortNumberFollowsTheThreeLetterPrefix)
{
    const std::pair<std::string, int> names[] = {
        {std::string("COM3\0", 5), 3}, {"COM12", 12}, {"COM255", 255}, {"COM0", 0},   {"COM256", 0},
        {"COM", 0},                    {"COMx", 0},   {"COM3x", 0},    {std::string("\0COM3", 5), 0}};
    for (const auto& [name, number] : names)
        EXPECT_EQ(pelora::SystemPortFinder::InterfacePortNumber(name), number) << name;
}

TEST(ProcessPriority, HighPriorityIsTakenWhereAllowedAndNormalRestored)
{
    pelora::SystemProcessPriority priority;
    const std::int32_t high = priority.SetProcessPriority(0, 0, pelora::HIGH_PRIORITY_CLASS);
    // Only a privileged process may raise its own priority; others keep theirs.
    EXPECT_EQ(high, geteuid() == 0 ? pelora::HIGH_PRIORITY_CLASS : pelora::NORMAL_PRIORITY_CLASS);
    EXPECT_EQ(priority.SetProcessPriority(0, 0, pelora::NORMAL_PRIORITY_CLASS), pelora::NORMAL_PRIORITY_CLASS);
}
