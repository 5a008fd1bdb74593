// The window's parts: the task log, the instruction pages, the message boxes
// and Qt's own texts.
#include "WizardFixture.h"

#include "wizard/MessageBoxDialogs.h"
#include "wizard/QtTexts.h"
#include "wizard/TitleBar.h"

#include <QAccessible>
#include <QApplication>
#include <QFile>
#include <QGroupBox>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QTranslator>

#include <optional>

#include <fstream>

#define SQLITE_HAS_CODEC 1
#include <sqlcipher/sqlite3.h>

using namespace wizardtest;

// A row: the time as hh:mm:ss, the event also as tool tip, the icon where the
// list has that picture; the status rewrites only the newest row, if any.
TEST(TaskLog, RowsAndTheNewestStatus)
{
    pelora::TaskList list;
    list.SetNewestStatus("nothing to rewrite");
    list.AddRow(pelora::TaskList::RowText(QTime(9, 5, 3), "Reading", "..."), 0);
    list.AddRow(pelora::TaskList::RowText(QTime(23, 59, 59), "Odd", "..."), 7);
    list.SetNewestStatus("Done");
    QStringList rows;
    for (int i = 0; i < list.topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = list.topLevelItem(i);
        rows << QStringList{row->text(0), row->text(1), row->text(2), row->text(3), row->toolTip(2),
                            row->icon(0).isNull() ? "-" : "icon", row->data(0, Qt::UserRole).toString()}
                    .join('|');
    }
    EXPECT_EQ(rows, (QStringList{"|09:05:03|Reading|...|Reading|icon|0", "|23:59:59|Odd|Done|Odd|-|7"}));
}

// A row longer than the event column wraps onto as many lines as it needs,
// laid out at the column's width once the list is shown; a short row keeps one line.
TEST(TaskLog, ALongRowWrapsWhole)
{
    pelora::TaskList list;
    QFile skin(":/wizard/skin.qss");  // the rows' height as the program's skin sets it
    ASSERT_TRUE(skin.open(QIODevice::ReadOnly));
    list.setStyleSheet(QString::fromUtf8(skin.readAll()));
    const QString text = QString("Votre profil est sauvegard\u00e9 et pourra \u00eatre restaur\u00e9. ").repeated(3);
    list.AddRow(pelora::TaskList::RowText(QTime(9, 5, 3), "Done", ""), 1);
    list.AddRow(pelora::TaskList::RowText(QTime(9, 5, 4), text, ""), 1);
    list.resize(529, 361);
    list.show();
    QCoreApplication::processEvents();
    const QFontMetrics metrics = list.fontMetrics();
    const int lines =
        metrics.boundingRect(QRect(0, 0, list.columnWidth(2), 1000), Qt::TextWordWrap, text).height() / metrics.lineSpacing();
    const auto height = [&](int row) { return list.visualItemRect(list.topLevelItem(row)).height(); };
    EXPECT_GE(lines, 3);
    EXPECT_GE(height(1), lines * metrics.height());
    EXPECT_LT(height(0), 2 * metrics.height());
}

// Items number on across both pages, the program's English ones and those
// built from another language's texts; page 2 leaves ten lines free for the
// illustration, which only it shows. A line's shape: its item number, '_'
// when empty, '>' for the way on, '-' for other text.
TEST(StepInstructions, PagesNumberOnAndOnlyPageTwoShowsTheIllustration)
{
    struct : pelora::TextSource {
        std::string GetText(std::int32_t id) const override { return "text " + std::to_string(id); }
    } texts;
    const std::tuple<int, const pelora::TextSource*, const char*> cases[] = {
        {1, nullptr, "1_2_3_4--_>"}, {2, nullptr, "__________5_6--_>"},
        {1, &texts, "1_2_3---_>"},   {2, &texts, "__________4_5-_>"}};
    for (const auto& [stage, translated, shape] : cases) {
        std::string shapes;
        for (const QString& l : QString::fromStdString(pelora::StepInstructionsText(stage, translated)).split("\r\n"))
            shapes += l.isEmpty() ? '_' : l[0].isDigit() ? l[0].toLatin1() : l.startsWith(">>>") ? '>' : '-';
        EXPECT_EQ(shapes, shape) << stage;
        EXPECT_EQ(pelora::StepShowsIllustration(stage), stage == 2);
    }
    EXPECT_TRUE(
        pelora::StepInstructionsText(2, &texts).ends_with("\r\n5. text 809\r\ntext 1054\r\n\r\n>>> text 813 >>>"));
}

// The window's own boxes stay on top like the window; a Yes/No box defaults
// to Yes unless it asks for No. Esc and the box's close button give the
// answer that keeps the diver's data: No unless the question says otherwise.
TEST(MessageBoxes, OnTopYesByDefaultAndDismissingKeepsData)
{
    struct Case { Buttons buttons; std::optional<Answer> keeps; bool closeButton; Answer expected; };
    const Case cases[] = {{Buttons::YesNo, {}, false, Answer::No},
                          {Buttons::YesNo, Answer::Yes, false, Answer::Yes},
                          {Buttons::YesNo, Answer::Yes, true, Answer::Yes},
                          {Buttons::YesNoDefaultNo, Answer::No, false, Answer::No},
                          {Buttons::OkCancel, {}, true, Answer::Cancel}};
    for (const Case& c : cases) {
        std::string seen;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            seen = box->windowFlags().testFlag(Qt::WindowStaysOnTopHint) ? "on top" : "below";
            const auto preferred = c.buttons == Buttons::YesNo ? QMessageBox::Yes : QMessageBox::No;
            if (c.buttons != Buttons::OkCancel && box->defaultButton() != box->button(preferred)) seen += ", default";
            c.closeButton ? (void)box->close() : QTest::keyClick(box, Qt::Key_Escape);
        });
        pelora::MessageBoxDialogs boxes(nullptr);
        const Answer answer = c.keeps ? boxes.Ask(Icon::Question, c.buttons, "Update", "Go?", *c.keeps)
                                      : boxes.Show(Icon::Question, c.buttons, "Update", "Go?");
        EXPECT_EQ(answer, c.expected);
        EXPECT_EQ(seen, "on top");
    }
}

// Qt's own buttons speak the language of the texts' column, the configured
// one or the demo's choice, whatever the system's language; a language Qt has
// no texts for leaves them English.
TEST_F(WizardTest, QtsButtonsSpeakTheTextsLanguage)
{
    const std::tuple<std::string, int, std::string> cases[] = {
        {"5000", 0, "Yes No Cancel"},  {"6000", 0, "Ja Nein Abbrechen"}, {"7000", 0, "Oui Non Annuler"},
        {"8000", 0, "Sì No Annulla"}, {"9000", 0, "Sí No Cancelar"},    {"5000", 2, "Ja Nein Abbrechen"}};
    for (const auto& [code, column, expected] : cases) {
        configuration_ = "PELORA.1D.FWR|" + pelora::ConfigurationCheckValue() + "||" + code;
        languageColumn_ = column;
        MakeWindow();
        ASSERT_TRUE(Load());
        QMessageBox box;
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        QStringList buttons;
        for (auto button : {QMessageBox::Yes, QMessageBox::No, QMessageBox::Cancel})
            buttons << box.button(button)->text().remove('&');
        EXPECT_EQ(buttons.join(' ').toStdString(), expected) << code << " " << column;
    }
    QTranslator translator;
    EXPECT_FALSE(pelora::InstallQtTexts(translator, "xx") || pelora::InstallQtTexts(translator, ""));
}
