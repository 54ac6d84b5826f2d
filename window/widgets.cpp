#include "window/widgets.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolButton>
#include <algorithm>

namespace lumigrab::ui {

GbkLineEdit::GbkLineEdit(QWidget* parent) : QLineEdit(parent) {
    setAlignment(Qt::AlignCenter);
}

namespace {
constexpr int kArrowWidth = 16;
}

CountEdit::CountEdit(QWidget* parent)
    : GbkLineEdit(parent), up_(new QToolButton(this)), down_(new QToolButton(this)) {
    for (QToolButton* arrow : {up_, down_}) {
        arrow->setAutoRepeat(true);
        arrow->setFocusPolicy(Qt::NoFocus);
        arrow->setCursor(Qt::ArrowCursor);
    }
    up_->setArrowType(Qt::UpArrow);
    down_->setArrowType(Qt::DownArrow);
    connect(up_, &QToolButton::clicked, this, [this] { step(+1); });
    connect(down_, &QToolButton::clicked, this, [this] { step(-1); });
    setTextMargins(0, 0, kArrowWidth, 0);
}

void CountEdit::step(int delta) {
    bool isNumber = false;
    const int typed = text().trimmed().toInt(&isNumber);
    if (isNumber) position_ = std::clamp(typed, kLowest, kHighest);
    position_ = std::clamp(position_ + delta, kLowest, kHighest);
    setGbkText(std::to_string(position_));
}

void CountEdit::resizeEvent(QResizeEvent* event) {
    GbkLineEdit::resizeEvent(event);
    const int upper = height() / 2;
    up_->setGeometry(width() - kArrowWidth, 0, kArrowWidth, upper);
    down_->setGeometry(width() - kArrowWidth, upper, kArrowWidth, height() - upper);
}

void CountEdit::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down) {
        step(event->key() == Qt::Key_Up ? +1 : -1);
        return;
    }
    GbkLineEdit::keyPressEvent(event);
}

GbkComboBox::GbkComboBox(QWidget* parent) : QComboBox(parent) {
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
}

void ReleaseCheckBox::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
        action_) {
        action_();
    }
    QCheckBox::mouseReleaseEvent(event);
}

PictureBox::PictureBox(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setLineWidth(1);
}

void PictureBox::setImage(QImage image) {
    image_ = std::move(image);
    rescale();
}

void PictureBox::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    rescale();
}

void PictureBox::rescale() {
    // Width and height scale apart: the picture fills the box, distorted.
    scaled_ = image_.isNull() ? QImage()
                              : image_.scaled(contentsRect().size(), Qt::IgnoreAspectRatio,
                                              Qt::SmoothTransformation);
    update();
}

void PictureBox::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    if (scaled_.isNull()) return;
    QPainter painter(this);
    painter.drawImage(contentsRect().topLeft(), scaled_);
}

RangeProgressBar::RangeProgressBar(QWidget* parent) : QProgressBar(parent) {
    setTextVisible(false);
    refresh();
}

void RangeProgressBar::setLogicalMaximum(int value) {
    maximum_ = std::max(value, 0);
    position_ = std::min(position_, maximum_);
    refresh();
}

void RangeProgressBar::setLogicalPosition(int value) {
    position_ = std::clamp(value, 0, maximum_);
    refresh();
}

void RangeProgressBar::refresh() {
    setRange(0, std::max(maximum_, 1));
    setValue(position_);
}

}  // namespace lumigrab::ui
