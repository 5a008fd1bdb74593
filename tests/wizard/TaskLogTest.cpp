#include "WizardFixture.h"

#include "wizard/TaskList.h"

#include <QTime>

using pelora::TaskList;
using wizardtest::WizardTest;

TEST(TaskLog, TimeKeepsTwoDigitsOnTheTwentyFourHourClock)
{
    EXPECT_EQ(TaskList::FormatTime(QTime(14, 5, 9)), "14:05:09");
    EXPECT_EQ(TaskList::FormatTime(QTime(9, 5, 3)), "09:05:03");
    EXPECT_EQ(TaskList::FormatTime(QTime(23, 59, 59)), "23:59:59");
    EXPECT_EQ(TaskList::FormatTime(QTime(0, 0, 0)), "00:00:00");
}

TEST(TaskLog, RowsAreBuiltFromTabSeparatedTextWithTheirIcon)
{
    EXPECT_EQ(TaskList::RowText(QTime(14, 5, 9), "Reading", "..."), "\t14:05:09\tReading\t...");

    TaskList list;
    list.AddRow(TaskList::RowText(QTime(14, 5, 9), "Reading", "..."), 0);
    list.AddRow(TaskList::RowText(QTime(14, 5, 10), "Result", ""), 1);
    ASSERT_EQ(list.topLevelItemCount(), 2);
    const QTreeWidgetItem* first = list.topLevelItem(0);
    EXPECT_EQ(first->text(0), "");
    EXPECT_EQ(first->text(1), "14:05:09");
    EXPECT_EQ(first->text(2), "Reading");
    EXPECT_EQ(first->text(3), "...");
    EXPECT_EQ(first->data(0, Qt::UserRole).toInt(), 0);
    EXPECT_FALSE(first->icon(0).isNull());
    EXPECT_EQ(list.topLevelItem(1)->text(3), "");
    EXPECT_EQ(list.topLevelItem(1)->data(0, Qt::UserRole).toInt(), 1);

    // A picture the list does not have leaves the icon cell empty.
    list.AddRow(TaskList::RowText(QTime(14, 5, 11), "Odd", ""), 7);
    EXPECT_TRUE(list.topLevelItem(2)->icon(0).isNull());
}

TEST(TaskLog, StatusRewritesOnlyTheNewestRow)
{
    TaskList list;
    list.SetNewestStatus("nothing to rewrite");  // an empty log stays empty
    EXPECT_EQ(list.topLevelItemCount(), 0);

    list.AddRow(TaskList::RowText(QTime(9, 0, 0), "First", "..."), 0);
    list.AddRow(TaskList::RowText(QTime(9, 0, 1), "Second", "..."), 0);
    list.SetNewestStatus("45%");
    list.SetNewestStatus("Done");
    EXPECT_EQ(list.topLevelItem(0)->text(3), "...");
    EXPECT_EQ(list.topLevelItem(1)->text(3), "Done");
    EXPECT_EQ(list.topLevelItem(1)->text(2), "Second");
}

TEST_F(WizardTest, WindowLogsRowsWithTheCurrentTime)
{
    ASSERT_TRUE(Load());
    const int before = window_->TaskLst()->topLevelItemCount();
    const QTime start = QTime::currentTime();
    window_->InsertTaskList(2, "Failure", "");
    window_->SetTaskStatus("Error");
    const QTime end = QTime::currentTime();
    ASSERT_EQ(window_->TaskLst()->topLevelItemCount(), before + 1);
    const QTreeWidgetItem* row = window_->TaskLst()->topLevelItem(before);
    const QTime logged = QTime::fromString(row->text(1), "hh:mm:ss");
    ASSERT_TRUE(logged.isValid());
    EXPECT_GE(logged, QTime(start.hour(), start.minute(), start.second()));
    EXPECT_LE(logged, end);
    EXPECT_EQ(row->text(2), "Failure");
    EXPECT_EQ(row->text(3), "Error");
    EXPECT_EQ(row->data(0, Qt::UserRole).toInt(), 2);
}
