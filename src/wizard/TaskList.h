#pragma once

#include <QIcon>
#include <QString>
#include <QTime>
#include <QTreeWidget>

#include <array>

namespace pelora {

// The task log `TaskLst`: four columns (icon, time, event, status), a row per
// step; only the newest row's status is ever rewritten. Screen readers read it
// as a table, the icon's meaning as the text of its cell.
class TaskList : public QTreeWidget {
    Q_OBJECT
public:
    explicit TaskList(QWidget* parent = nullptr);

    // Adds a row from its tab-separated text and gives its icon column the
    // picture IconInd (none when there is no such picture).
    void AddRow(const QString& rowText, int IconInd);
    void SetNewestStatus(const QString& status);
    // The column headers (the icon column's only for screen readers) and
    // the meaning of each row icon, for the rows there and to come.
    void SetHeaders(const QStringList& headers, const std::array<QString, 3>& iconMeanings);
    int NewestRow() const { return topLevelItemCount() - 1; }

    static QString FormatTime(const QTime& time);
    // The text of a new row: an empty icon field, the time, the event and the status.
    static QString RowText(const QTime& time, const QString& S1, const QString& S2);

private:
    void SayIconMeaning(QTreeWidgetItem* row) const;

    std::array<QIcon, 3> rowIcons_;
    std::array<QString, 3> iconMeanings_;
};

}  // namespace pelora
