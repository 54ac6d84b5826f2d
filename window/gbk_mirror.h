#pragma once
// Qt holds text as UTF-16; the core speaks GBK bytes. A mirror remembers the
// exact bytes last written and what they were shown as, so reading back a box
// the user has not touched gives the same bytes, even where the bytes had no
// faithful Unicode form (broken pairs, unmapped codes).
#include <QString>
#include <string>

#include "text/text.h"

namespace lumigrab::ui {

QString ToQt(std::string_view gbk);
Text FromQt(const QString& shown);

class GbkMirror {
public:
    // What to show for `bytes`; remembers both.
    QString write(const Text& bytes);
    // The bytes for what the box shows now.
    Text read(const QString& shownNow) const;
    // The characters of what the box shows now that read() cannot keep (it
    // gives "?" for each); none while it shows what was written.
    std::u32string charactersWithoutGbk(const QString& shownNow) const;

private:
    Text bytes_;
    QString shown_;
};

}  // namespace lumigrab::ui
