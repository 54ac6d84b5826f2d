#include "support/fake_window.h"

#include <chrono>
#include <thread>

#include "port/controls.h"
#include "support/eventually.h"
#include "text/encoding.h"

namespace lumigrab::testing {

using Lock = std::lock_guard<std::recursive_mutex>;

FakeWindow::FakeWindow() {
    at(ctl::kThreadCount).text = "1";
    at(ctl::kLetterCount).text = "20";
    at(ctl::kFullSizeRadio).checked = true;
    at(ctl::kAutoPreview).enabled = false;  // as WindowCreated leaves it
    at(ctl::kLog).text = Gbk("使用说明:\r\n");
}

FakeWindow::Control& FakeWindow::at(std::string_view control) {
    auto it = controls_.find(control);
    if (it == controls_.end()) it = controls_.emplace(std::string(control), Control{}).first;
    return it->second;
}

Text FakeWindow::text(std::string_view c) { Lock l(mutex_); return at(c).text; }
void FakeWindow::setText(std::string_view c, const Text& v) {
    Lock l(mutex_);
    at(c).text = v;
    at(c).withoutGbk.clear();
}
void FakeWindow::appendText(std::string_view c, const Text& v) { Lock l(mutex_); at(c).text += v; }
void FakeWindow::setFocus(std::string_view c) { Lock l(mutex_); focused_ = std::string(c); }
std::u32string FakeWindow::charactersWithoutGbk(std::string_view c) { Lock l(mutex_); return at(c).withoutGbk; }
int FakeWindow::selectedIndex(std::string_view c) { Lock l(mutex_); return at(c).selected; }
bool FakeWindow::isChecked(std::string_view c) { Lock l(mutex_); return at(c).checked; }
void FakeWindow::setChecked(std::string_view c, bool v) { Lock l(mutex_); at(c).checked = v; }
void FakeWindow::setEnabled(std::string_view c, bool v) { Lock l(mutex_); at(c).enabled = v; }
bool FakeWindow::isEnabled(std::string_view c) { Lock l(mutex_); return at(c).enabled; }
void FakeWindow::setTimerInterval(std::string_view c, int ms) { Lock l(mutex_); at(c).interval = ms; }
int FakeWindow::timerInterval(std::string_view c) { Lock l(mutex_); return at(c).interval; }
int FakeWindow::progressMaximum(std::string_view c) { Lock l(mutex_); return at(c).maximum; }
void FakeWindow::setProgressMaximum(std::string_view c, int v) { Lock l(mutex_); at(c).maximum = v; }
int FakeWindow::progressPosition(std::string_view c) { Lock l(mutex_); return at(c).position; }
void FakeWindow::setProgressPosition(std::string_view c, int v) { Lock l(mutex_); at(c).position = v; }

void FakeWindow::setPicture(std::string_view c, const Bytes& p) {
    Lock l(mutex_);
    at(c).picture = p;
    at(c).pictures.push_back(p);
}

int FakeWindow::rowCount(std::string_view) { return list_.size(); }

void FakeWindow::insertRow(std::string_view, int, const Text& caption) {
    ImageRecord record;
    record.saveName = caption;
    list_.append({record});
}

void FakeWindow::setCell(std::string_view, int row, int column, const Text& v) { list_.setCellAt(row, column, v); }

Text FakeWindow::cell(std::string_view, int row, int column) {
    const auto found = list_.at(row);
    return found ? CellOf(found->second, column) : Text();
}

void FakeWindow::clearRows(std::string_view) { list_.clear(); }

void FakeWindow::messageBox(const Text& m, const Text& cap, MessageIcon icon) {
    Lock l(mutex_);
    messages_.push_back({m, cap, icon});
}

void FakeWindow::runOnWindowThread(std::function<void()> work) {
    Lock l(mutex_);
    work();
}

void FakeWindow::selectEntry(std::string_view combo, int index) {
    Lock l(mutex_);
    at(combo).selected = index;
    at(combo).text = index < 0 ? Text{} : std::to_string(index + 1);
}

void FakeWindow::typeText(std::string_view c, std::string_view utf8) {
    Lock l(mutex_);
    at(c).text = Utf8ToGbk(utf8);
    at(c).withoutGbk = CharactersWithoutGbk(utf8);
}

std::vector<ShownMessage> FakeWindow::messages() { Lock l(mutex_); return messages_; }
std::string FakeWindow::focused() { Lock l(mutex_); return focused_; }
Bytes FakeWindow::picture(std::string_view c) { Lock l(mutex_); return at(c).picture; }
int FakeWindow::pictureChanges(std::string_view c) { Lock l(mutex_); return static_cast<int>(at(c).pictures.size()); }
std::vector<Bytes> FakeWindow::picturesShown(std::string_view c) { Lock l(mutex_); return at(c).pictures; }
std::vector<std::vector<Text>> FakeWindow::rows(std::string_view) {
    std::vector<std::vector<Text>> out;
    for (const auto& [id, record] : list_.rows()) {
        std::vector<Text> cells;
        for (int column = 0; column < 6; ++column) cells.push_back(CellOf(record, column));
        out.push_back(std::move(cells));
    }
    return out;
}

std::vector<Text> FakeWindow::logMessages() {
    Lock l(mutex_);
    std::vector<Text> out;
    const Text& log = at(ctl::kLog).text;
    size_t pos = 0;
    while (pos < log.size()) {
        size_t end = log.find("\r\n", pos);
        if (end == Text::npos) end = log.size();
        Text line = log.substr(pos, end - pos);
        // "YYYY-MM-DD hh:mm:ss " is 20 bytes; lines without a stamp (the usage text) stay whole.
        if (line.size() >= 20 && line[4] == '-' && line[13] == ':' && line[19] == ' ') line = line.substr(20);
        out.push_back(line);
        pos = end + 2;
    }
    return out;
}

bool FakeWindow::waitFor(const std::function<bool(FakeWindow&)>& pred, int timeoutMs) {
    return Eventually(
        [&] {
            Lock l(mutex_);
            return pred(*this);
        },
        std::chrono::milliseconds(timeoutMs), std::chrono::milliseconds(10));
}

}  // namespace lumigrab::testing
