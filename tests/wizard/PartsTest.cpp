// The window's parts: the task log, the instruction pages, the message boxes
// and Qt's own texts.
#include "WizardFixture.h"

#include "wizard/MessageBoxDialogs.h"
#include "wizard/QtTexts.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QTranslator>

using namespace wizardtest;
using pelora::TaskList;

// A row: the time as hh:mm:ss, the event also as tool tip, the icon where the
// list has that picture; the status rewrites only the newest row, if any. A
// row longer than the event column wraps whole in the program's skin, a short
// one keeps one line.
TEST(TaskLog, RowsTheNewestStatusAndWrapping)
{
    TaskList list;
    QFile skin(":/wizard/skin.qss");
    ASSERT_TRUE(skin.open(QIODevice::ReadOnly));
    list.setStyleSheet(QString::fromUtf8(skin.readAll()));
    const QString text = QString("Votre profil est sauvegard\u00e9 et pourra \u00eatre restaur\u00e9. ").repeated(3);
    list.SetNewestStatus("nothing to rewrite");
    list.AddRow(TaskList::RowText(QTime(9, 5, 3), "Reading", "..."), 0);
    list.AddRow(TaskList::RowText(QTime(23, 59, 59), text, "..."), 7);
    list.SetNewestStatus("Done");
    QStringList rows;
    for (int i = 0; i < list.topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = list.topLevelItem(i);
        rows << QStringList{row->text(0), row->text(1), row->text(2).left(7), row->text(3), row->toolTip(2).left(7),
                            row->icon(0).isNull() ? "-" : "icon", row->data(0, Qt::UserRole).toString()}
                    .join('|');
    }
    EXPECT_EQ(rows, (QStringList{"|09:05:03|Reading|...|Reading|icon|0", "|23:59:59|Votre p|Done|Votre p|-|7"}));
    list.resize(529, 361);
    list.show();
    QCoreApplication::processEvents();
    const QFontMetrics metrics = list.fontMetrics();
    const int lines = metrics.boundingRect(QRect(0, 0, list.columnWidth(2), 1000), Qt::TextWordWrap, text).height() /
                      metrics.lineSpacing();
    const auto height = [&](int row) { return list.visualItemRect(list.topLevelItem(row)).height(); };
    EXPECT_GE(lines, 3);
    EXPECT_GE(height(1), lines * metrics.height());
    EXPECT_LT(height(0), 2 * metrics.height());
}

// Items number on across both pages, the program's English ones and those
// built from another language's texts; page 2 leaves ten lines free for the
// illustration (the window's walk sees it shown there only). A line's shape: its item number, '_'
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
// no texts for leaves them English. English keeps the program's own pages;
// another language's pages hold its own step texts and no English. Every page
// fits its frame in the program's skin.
TEST_F(WizardTest, QtsButtonsAndThePagesSpeakTheTextsLanguage)
{
    QFile skin(":/wizard/skin.qss");
    ASSERT_TRUE(skin.open(QIODevice::ReadOnly));
    const QString sheet = QString::fromUtf8(skin.readAll());
    const std::tuple<std::string, int, std::string> cases[] = {{"5000", 0, "Yes No"},  {"7000", 0, "Oui Non"},
                                                               {"8000", 0, "Sì No"},   {"9000", 0, "Sí No"},
                                                               {"5000", 2, "Ja Nein"}};
    for (const auto& [code, column, expected] : cases) {
        SCOPED_TRACE(code + " " + std::to_string(column));
        configuration_ = "PELORA.1D.FWR|" + pelora::ConfigurationCheckValue() + "||" + code;
        languageColumn_ = column;
        MakeWindow();
        window_->setStyleSheet(sheet);
        ASSERT_TRUE(Load());
        QMessageBox box;
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        EXPECT_EQ(QString(box.button(QMessageBox::Yes)->text() + " " + box.button(QMessageBox::No)->text()).remove('&'),
                  QString::fromStdString(expected));
        window_->show();
        std::string pages;
        for (int stage = 1; stage <= 2; ++stage) {
            const QLabel* label = window_->Lbl1();
            EXPECT_LE(label->heightForWidth(label->width()), label->height());
            pages += label->text().toStdString();
            if (stage == 1) window_->NextCmd_Click();
        }
        const bool english = expected == "Yes No";
        EXPECT_EQ(pages == pelora::StepInstructionsText(1) + pelora::StepInstructionsText(2), english);
        for (const char* word : {"Click", "Next", "DC"})
            EXPECT_EQ(pages.find(word) != std::string::npos, english) << word;
    }
    QTranslator translator;
    EXPECT_FALSE(pelora::InstallQtTexts(translator, "xx") || pelora::InstallQtTexts(translator, ""));
}
