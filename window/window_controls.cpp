#include "window/window_controls.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QRadioButton>
#include <QTimer>
#include <QWidget>

#include "window/log_box.h"
#include "window/widgets.h"

namespace lumigrab::ui {

namespace {

QImage ToQImage(const Image& picture) {
    if (picture.width <= 0 || picture.height <= 0 ||
        picture.rgba.size() < static_cast<size_t>(picture.width) * picture.height * 4) {
        return {};
    }
    return QImage(picture.rgba.data(), picture.width, picture.height, picture.width * 4,
                  QImage::Format_RGBA8888)
        .copy();
}

}  // namespace

WindowControls::WindowControls(QObject* root, PictureList& list) : list_(list) {
    if (!root->objectName().isEmpty()) byName_.emplace(root->objectName().toStdString(), root);
    for (QObject* child : root->findChildren<QObject*>()) {
        if (!child->objectName().isEmpty()) {
            byName_.emplace(child->objectName().toStdString(), child);
        }
    }
}

QObject* WindowControls::find(std::string_view control) const {
    auto it = byName_.find(std::string(control));
    return it == byName_.end() ? nullptr : it->second;
}

Text WindowControls::text(std::string_view control) {
    QObject* target = find(control);
    if (auto* log = qobject_cast<LogBox*>(target)) return log->gbkText();
    if (auto* edit = qobject_cast<GbkLineEdit*>(target)) return edit->gbkText();
    if (auto* combo = qobject_cast<GbkComboBox*>(target)) return combo->gbkText();
    return {};
}

void WindowControls::setText(std::string_view control, const Text& value) {
    QObject* target = find(control);
    if (auto* log = qobject_cast<LogBox*>(target)) {
        log->setGbkText(value);
    } else if (auto* edit = qobject_cast<GbkLineEdit*>(target)) {
        edit->setGbkText(value);
    } else if (auto* combo = qobject_cast<GbkComboBox*>(target)) {
        combo->setGbkText(value);
    }
}

void WindowControls::appendText(std::string_view control, const Text& value) {
    QObject* target = find(control);
    if (auto* log = qobject_cast<LogBox*>(target)) {
        log->appendGbk(value);
    } else if (auto* edit = qobject_cast<GbkLineEdit*>(target)) {
        edit->setGbkText(edit->gbkText() + value);
        edit->end(false);
    }
}

std::u32string WindowControls::charactersWithoutGbk(std::string_view control) {
    QObject* target = find(control);
    if (auto* edit = qobject_cast<GbkLineEdit*>(target)) return edit->charactersWithoutGbk();
    if (auto* combo = qobject_cast<GbkComboBox*>(target)) return combo->charactersWithoutGbk();
    return {};
}

void WindowControls::setFocus(std::string_view control) {
    if (auto* widget = as<QWidget>(control)) widget->setFocus(Qt::OtherFocusReason);
}

int WindowControls::selectedIndex(std::string_view control) {
    auto* combo = as<QComboBox>(control);
    return combo ? combo->currentIndex() : -1;
}

bool WindowControls::isChecked(std::string_view control) {
    auto* button = as<QAbstractButton>(control);
    return button && button->isCheckable() && button->isChecked();
}

void WindowControls::setChecked(std::string_view control, bool checked) {
    auto* button = as<QAbstractButton>(control);
    if (!button || !button->isCheckable()) return;
    // Setting one radio box by program leaves its partners as they are, as a
    // click would not; Qt's exclusivity would also refuse to clear the ticked one.
    const bool exclusive = button->autoExclusive();
    button->setAutoExclusive(false);
    button->setChecked(checked);
    button->setAutoExclusive(exclusive);
}

void WindowControls::setEnabled(std::string_view control, bool enabled) {
    if (auto* widget = as<QWidget>(control)) widget->setEnabled(enabled);
}

bool WindowControls::isEnabled(std::string_view control) const {
    auto* widget = as<QWidget>(control);
    return widget && widget->isEnabled();
}

void WindowControls::setTimerInterval(std::string_view control, int milliseconds) {
    auto* timer = as<QTimer>(control);
    if (!timer) return;
    // Qt runs a 0 ms timer flat out; here 0 (or less) means "no ticks".
    timer->setProperty("lumigrabInterval", milliseconds);
    if (milliseconds > 0) {
        timer->start(milliseconds);
    } else {
        timer->stop();
    }
}

int WindowControls::timerInterval(std::string_view control) const {
    auto* timer = as<QTimer>(control);
    return timer ? timer->property("lumigrabInterval").toInt() : 0;
}

int WindowControls::progressMaximum(std::string_view control) const {
    auto* bar = as<RangeProgressBar>(control);
    return bar ? bar->logicalMaximum() : 0;
}

void WindowControls::setProgressMaximum(std::string_view control, int value) {
    if (auto* bar = as<RangeProgressBar>(control)) bar->setLogicalMaximum(value);
}

int WindowControls::progressPosition(std::string_view control) const {
    auto* bar = as<RangeProgressBar>(control);
    return bar ? bar->logicalPosition() : 0;
}

void WindowControls::setProgressPosition(std::string_view control, int value) {
    if (auto* bar = as<RangeProgressBar>(control)) bar->setLogicalPosition(value);
}

void WindowControls::setPicture(std::string_view control, const Bytes& picture) {
    showPicture(control, DecodePicture(picture));
}

void WindowControls::showPicture(std::string_view control, const std::optional<Image>& picture) {
    auto* box = as<PictureBox>(control);
    if (!box) return;
    box->setImage(picture ? ToQImage(*picture) : QImage());
}

void WindowControls::messageBox(const Text& message, const Text& caption, MessageIcon icon) {
    QMessageBox::Icon shown = QMessageBox::NoIcon;
    if (icon == MessageIcon::Information) shown = QMessageBox::Information;
    if (icon == MessageIcon::Error) shown = QMessageBox::Critical;
    QMessageBox box(shown, ToQt(caption), ToQt(message), QMessageBox::Ok, nullptr);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void WindowControls::runOnWindowThread(std::function<void()> work) {
    if (work) work();
}

}  // namespace lumigrab::ui
