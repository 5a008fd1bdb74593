#include "TaskList.h"

#include "Skin.h"

#include <QHeaderView>
#include <QStyledItemDelegate>

namespace pelora {

namespace {

// The view asks a row's height without a width, so the text would never
// wrap: measure each cell at its column's width.
class WrappingDelegate : public QStyledItemDelegate {
public:
    explicit WrappingDelegate(QTreeView* view) : QStyledItemDelegate(view), view_(view) {}
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QStyleOptionViewItem cell(option);
        // Any height makes the rectangle valid; the style measures the text's own.
        cell.rect.setSize({view_->columnWidth(index.column()), 1});
        return QStyledItemDelegate::sizeHint(cell, index);
    }

private:
    QTreeView* view_;
};

}  // namespace

TaskList::TaskList(QWidget* parent) : QTreeWidget(parent)
{
    InitWizardResources();
    rowIcons_ = {QIcon(":/wizard/row-step.svg"), QIcon(":/wizard/row-info.svg"), QIcon(":/wizard/row-failure.svg")};
    setObjectName("TaskLst");
    setColumnCount(4);
    setHeaderLabels({QString(), "Time", "Event", "Status"});
    setRootIsDecorated(false);
    // A long row wraps onto as many lines as it needs, so nothing is cut off.
    setUniformRowHeights(false);
    setWordWrap(true);
    setSelectionMode(QAbstractItemView::NoSelection);
    setAllColumnsShowFocus(true);
    setFocusPolicy(Qt::StrongFocus);
    setIconSize(QSize(16, 16));
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    const int widths[] = {32, 60, 360, 80};
    for (int column = 0; column < 4; ++column) setColumnWidth(column, widths[column]);
    // The event column takes what the frame leaves, so nothing scrolls sideways.
    header()->setSectionResizeMode(2, QHeaderView::Stretch);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setItemDelegate(new WrappingDelegate(this));
}

QString TaskList::FormatTime(const QTime& time) { return time.toString("hh:mm:ss"); }

QString TaskList::RowText(const QTime& time, const QString& S1, const QString& S2)
{
    return "\t" + FormatTime(time) + "\t" + S1 + "\t" + S2;
}

void TaskList::AddRow(const QString& rowText, int IconInd)
{
    const QStringList fields = rowText.split('\t');
    auto* item = new QTreeWidgetItem(this);
    for (int column = 0; column < 4 && column < fields.size(); ++column) item->setText(column, fields[column]);
    item->setToolTip(2, item->text(2));
    if (IconInd >= 0 && IconInd < static_cast<int>(rowIcons_.size())) item->setIcon(0, rowIcons_[IconInd]);
    item->setData(0, Qt::UserRole, IconInd);
    SayIconMeaning(item);
    // The newest row stays in view, so a long update never hides its progress;
    // it is the current row too, which a screen reader reads while the log has the focus.
    setCurrentItem(item);
    scrollToItem(item);
}

void TaskList::SetNewestStatus(const QString& status)
{
    if (QTreeWidgetItem* newest = topLevelItem(NewestRow())) newest->setText(3, status);
}

void TaskList::SetHeaders(const QStringList& headers, const std::array<QString, 3>& iconMeanings)
{
    QTreeWidgetItem* header = headerItem();
    header->setData(0, Qt::AccessibleTextRole, headers.value(0));
    for (int column = 1; column < 4; ++column) header->setText(column, headers.value(column));
    iconMeanings_ = iconMeanings;
    for (int i = 0; i < topLevelItemCount(); ++i) SayIconMeaning(topLevelItem(i));
}

void TaskList::SayIconMeaning(QTreeWidgetItem* row) const
{
    const int icon = row->data(0, Qt::UserRole).toInt();
    if (icon >= 0 && icon < static_cast<int>(iconMeanings_.size()))
        row->setData(0, Qt::AccessibleTextRole, iconMeanings_[icon]);
}

}  // namespace pelora
