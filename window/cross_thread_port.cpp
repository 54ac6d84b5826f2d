#include "window/cross_thread_port.h"

namespace lumigrab::ui {

// Arguments are captured by reference: the caller is blocked until the call
// has run, so they outlive it.

Text CrossThreadPort::text(std::string_view c) {
    return onWindowThread([&] { return controls_.text(c); });
}
void CrossThreadPort::setText(std::string_view c, const Text& v) {
    onWindowThread([&] { controls_.setText(c, v); });
}
void CrossThreadPort::appendText(std::string_view c, const Text& v) {
    onWindowThread([&] { controls_.appendText(c, v); });
}
void CrossThreadPort::setFocus(std::string_view c) {
    onWindowThread([&] { controls_.setFocus(c); });
}
std::u32string CrossThreadPort::charactersWithoutGbk(std::string_view c) {
    return onWindowThread([&] { return controls_.charactersWithoutGbk(c); });
}
int CrossThreadPort::selectedIndex(std::string_view c) {
    return onWindowThread([&] { return controls_.selectedIndex(c); });
}
bool CrossThreadPort::isChecked(std::string_view c) {
    return onWindowThread([&] { return controls_.isChecked(c); });
}
void CrossThreadPort::setChecked(std::string_view c, bool v) {
    onWindowThread([&] { controls_.setChecked(c, v); });
}
void CrossThreadPort::setEnabled(std::string_view c, bool v) {
    onWindowThread([&] { controls_.setEnabled(c, v); });
}
bool CrossThreadPort::isEnabled(std::string_view c) {
    return onWindowThread([&] { return controls_.isEnabled(c); });
}
void CrossThreadPort::setTimerInterval(std::string_view c, int ms) {
    onWindowThread([&] { controls_.setTimerInterval(c, ms); });
}
int CrossThreadPort::timerInterval(std::string_view c) {
    return onWindowThread([&] { return controls_.timerInterval(c); });
}
int CrossThreadPort::progressMaximum(std::string_view c) {
    return onWindowThread([&] { return controls_.progressMaximum(c); });
}
void CrossThreadPort::setProgressMaximum(std::string_view c, int v) {
    onWindowThread([&] { controls_.setProgressMaximum(c, v); });
}
int CrossThreadPort::progressPosition(std::string_view c) {
    return onWindowThread([&] { return controls_.progressPosition(c); });
}
void CrossThreadPort::setProgressPosition(std::string_view c, int v) {
    onWindowThread([&] { controls_.setProgressPosition(c, v); });
}

void CrossThreadPort::setPicture(std::string_view c, const Bytes& picture) {
    // Decoding can take a while; do it here so the window thread only swaps.
    const std::optional<Image> decoded = DecodePicture(picture);
    onWindowThread([&] { controls_.showPicture(c, decoded); });
}

int CrossThreadPort::rowCount(std::string_view c) {
    return onWindowThread([&] { return controls_.rowCount(c); });
}
void CrossThreadPort::insertRow(std::string_view c, int row, const Text& caption) {
    onWindowThread([&] { controls_.insertRow(c, row, caption); });
}
void CrossThreadPort::setCell(std::string_view c, int row, int column, const Text& v) {
    onWindowThread([&] { controls_.setCell(c, row, column, v); });
}
Text CrossThreadPort::cell(std::string_view c, int row, int column) {
    return onWindowThread([&] { return controls_.cell(c, row, column); });
}
void CrossThreadPort::clearRows(std::string_view c) {
    onWindowThread([&] { controls_.clearRows(c); });
}
void CrossThreadPort::messageBox(const Text& m, const Text& cap, MessageIcon icon) {
    onWindowThread([&] { controls_.messageBox(m, cap, icon); });
}
void CrossThreadPort::runOnWindowThread(const std::function<void()>& work) {
    if (work) onWindowThread([&] { work(); });
}

}  // namespace lumigrab::ui
