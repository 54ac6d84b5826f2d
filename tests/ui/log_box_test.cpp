// The log box: GBK bytes with CR LF line ends kept exactly over Qt's
// paragraphs, and appends that always land at the end and stay in view.
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>

#include "port/controls.h"
#include "window/log_box.h"
#include "text/encoding.h"
#include "window_fixture.h"

namespace lumigrab::ui::testing {
namespace {

QStringList Paragraphs(const QPlainTextEdit& box) {
    QStringList out;
    for (QTextBlock b = box.document()->begin(); b.isValid(); b = b.next()) out << b.text();
    return out;
}

struct RoundTrip {
    const char* what;
    Text bytes;
    QStringList shown;  // paragraphs the box shows
};

// Bytes come back exactly as written, whatever they show as.
TEST(LogBoxText, ReadsBackExactlyWhatWasWritten) {
    const RoundTrip cases[] = {
        {"CrLfLines", "one\r\ntwo\r\n", {"one", "two", ""}},
        {"NoLineEnd", "solo", {"solo"}},
        {"Empty", "", {""}},
        {"TwoEmptyLinesAtEnd", "a\r\n\r\n", {"a", "", ""}},
        {"LoneCr", "a\rb", {"a", "b"}},
        {"LoneLf", "a\nb", {"a", "b"}},
        {"LfCrIsTwoBreaks", "a\n\rb", {"a", "", "b"}},
        {"Chinese", Gbk("工作日志") + "\r\n", {QString::fromUtf8("工作日志"), ""}},
        // A lead byte with no trail and an unassigned pair still read back.
        {"BrokenLeadByte", "x\x81", {}},
        {"UnassignedPair", "\xA2\xA0y", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LogBox box;
        box.setGbkText(c.bytes);
        EXPECT_EQ(box.gbkText(), c.bytes);
        if (!c.shown.isEmpty()) {
            EXPECT_EQ(Paragraphs(box), c.shown);
        }
        LogBox appended;
        appended.setGbkText("");
        appended.appendGbk(c.bytes);
        EXPECT_EQ(appended.gbkText(), c.bytes);
        if (!c.shown.isEmpty()) {
            EXPECT_EQ(Paragraphs(appended), c.shown);
        }
    }
}

TEST(LogBoxText, CrLfSplitAcrossAppendsIsOneBreak) {
    LogBox box;
    box.setGbkText("");
    box.appendGbk("a\r");
    box.appendGbk("\nb");
    EXPECT_EQ(box.gbkText(), "a\r\nb");
    EXPECT_EQ(Paragraphs(box), (QStringList{"a", "b"}));
}

TEST(LogBoxText, UserEditsReadBackWithCrLf) {
    LogBox box;
    box.setGbkText("one\r\ntwo");
    box.moveCursor(QTextCursor::End);
    box.insertPlainText(QStringLiteral("\nthree"));  // as typing Enter would
    EXPECT_EQ(box.gbkText(), "one\r\ntwo\r\nthree");
    // An append after a hand edit keeps the edit and adds after it.
    box.appendGbk("\r\nfour");
    EXPECT_EQ(box.gbkText(), "one\r\ntwo\r\nthree\r\nfour");
}

TEST(LogBoxText, SetTextPutsCaretAtTop) {
    LogBox box;
    box.setGbkText("a\r\nb\r\nc");
    EXPECT_EQ(box.textCursor().position(), 0);
}

using LogAppendTest = WindowTest;

TEST_F(LogAppendTest, GoesToEndWhateverTheCaretAndSelection) {
    auto* log = control<QPlainTextEdit>(ctl::kLog);
    const Text usage = controls().text(ctl::kLog);
    QTextCursor cursor(log->document());
    cursor.setPosition(3);
    cursor.setPosition(9, QTextCursor::KeepAnchor);
    log->setTextCursor(cursor);

    controls().appendText(ctl::kLog, "2017-03-07 09:05:03 hello\r\n");
    EXPECT_EQ(controls().text(ctl::kLog), usage + "2017-03-07 09:05:03 hello\r\n");
    EXPECT_FALSE(log->textCursor().hasSelection());
    EXPECT_EQ(log->textCursor().position(), log->document()->characterCount() - 1);
}

TEST_F(LogAppendTest, CannotBeUndone) {
    auto* log = control<QPlainTextEdit>(ctl::kLog);
    controls().setText(ctl::kLog, "");
    log->setFocus();
    QTest::keyClicks(log, "typed");
    controls().appendText(ctl::kLog, "line\r\n");
    log->undo();
    log->undo();
    EXPECT_NE(controls().text(ctl::kLog).find("line\r\n"), Text::npos);
}

TEST_F(LogAppendTest, ScrollsToNewestEvenWhenScrolledUp) {
    auto* log = control<QPlainTextEdit>(ctl::kLog);
    for (int i = 0; i < 60; ++i) controls().appendText(ctl::kLog, "filler line\r\n");
    QApplication::processEvents();
    QScrollBar* bar = log->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    bar->setValue(0);  // the user reads the top
    controls().appendText(ctl::kLog, "newest\r\n");
    QApplication::processEvents();
    EXPECT_EQ(bar->value(), bar->maximum());
    // The new line's paragraph lies inside the viewport.
    const QTextBlock newest = log->document()->lastBlock().previous();
    ASSERT_EQ(newest.text(), QStringLiteral("newest"));
    QTextCursor at(newest);
    EXPECT_TRUE(log->viewport()->rect().contains(log->cursorRect(at).center()));
}

TEST_F(LogAppendTest, ClearThenAppendLeavesOneLine) {
    controls().setText(ctl::kLog, Text{});
    controls().appendText(ctl::kLog, "only\r\n");
    EXPECT_EQ(controls().text(ctl::kLog), "only\r\n");
}

}  // namespace
}  // namespace lumigrab::ui::testing
