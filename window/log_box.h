#pragma once
// The work-log box. Its text is GBK with CR LF line ends; Qt keeps paragraphs.
// The box keeps the exact bytes beside the paragraphs and answers reads from
// them until the user edits the box by hand; after that the paragraphs are
// read back, each ended by CR LF except the last.
//
// Shown form: CR LF, a lone CR and a lone LF each end a paragraph. A CR that
// ends one append and an LF that starts the next count as one CR LF.
#include <QPlainTextEdit>

#include "text/text.h"

namespace lumigrab::ui {

class LogBox : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit LogBox(QWidget* parent = nullptr);

    Text gbkText() const;
    // Replaces everything; the caret goes to the top, as after a fresh fill.
    void setGbkText(const Text& text);
    // Caret to the end with nothing selected, insert, keep the caret in view.
    // The insertion leaves nothing to undo.
    void appendGbk(const Text& text);

private:
    void insertShown(const QString& shown);

    Text bytes_;
    bool userEdited_ = false;
    bool writing_ = false;
};

// The shown form of `gbk`; `afterCr` says the text so far ends with CR.
QString ShownLogText(std::string_view gbk, bool afterCr);

}  // namespace lumigrab::ui
