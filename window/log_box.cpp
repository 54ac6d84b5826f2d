#include "window/log_box.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

#include "window/gbk_mirror.h"

namespace lumigrab::ui {

QString ShownLogText(std::string_view gbk, bool afterCr) {
    if (afterCr && !gbk.empty() && gbk.front() == '\n') gbk.remove_prefix(1);
    QString shown = ToQt(gbk);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

LogBox::LogBox(QWidget* parent) : QPlainTextEdit(parent) {
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QPalette colours = palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        colours.setColor(group, QPalette::Base, QColor(0, 0, 0));
        colours.setColor(group, QPalette::Text, QColor(0, 255, 0));
    }
    setPalette(colours);
    connect(document(), &QTextDocument::contentsChange, this, [this](int, int removed, int added) {
        if (!writing_ && (removed != 0 || added != 0)) userEdited_ = true;
    });
}

Text LogBox::gbkText() const {
    if (!userEdited_) return bytes_;
    QString joined;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
        if (block != document()->begin()) joined += QStringLiteral("\r\n");
        joined += block.text();
    }
    return FromQt(joined);
}

void LogBox::setGbkText(const Text& text) {
    writing_ = true;
    setPlainText(ShownLogText(text, false));
    writing_ = false;
    bytes_ = text;
    userEdited_ = false;
    moveCursor(QTextCursor::Start);
    verticalScrollBar()->setValue(verticalScrollBar()->minimum());
}

void LogBox::appendGbk(const Text& text) {
    if (userEdited_) {
        bytes_ = gbkText();
        userEdited_ = false;
    }
    const bool afterCr = !bytes_.empty() && bytes_.back() == '\r';
    bytes_ += text;
    insertShown(ShownLogText(text, afterCr));
}

void LogBox::insertShown(const QString& shown) {
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    setTextCursor(cursor);  // also drops any selection
    writing_ = true;
    document()->setUndoRedoEnabled(false);
    cursor.insertText(shown);
    document()->setUndoRedoEnabled(true);
    writing_ = false;
    setTextCursor(cursor);
    ensureCursorVisible();
}

}  // namespace lumigrab::ui
