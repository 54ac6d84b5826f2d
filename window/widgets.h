#pragma once
// The window's own kinds of control, where the stock Qt widget does not behave
// as the program needs.
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QImage>
#include <QLineEdit>
#include <QProgressBar>
#include <functional>

#include "window/gbk_mirror.h"
#include "text/text.h"

class QToolButton;

namespace lumigrab::ui {

// Single-line edit box: centred text, GBK in and out.
class GbkLineEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit GbkLineEdit(QWidget* parent = nullptr);
    Text gbkText() const { return mirror_.read(text()); }
    void setGbkText(const Text& value) { setText(mirror_.write(value)); }
    std::u32string charactersWithoutGbk() const { return mirror_.charactersWithoutGbk(text()); }

private:
    GbkMirror mirror_;
};

// Edit box with an up-down pair on its right edge. The box takes any text;
// the arrows (and the Up/Down keys) step the number in it within [0, 100].
// Text that is not a number steps from the last number the arrows wrote.
class CountEdit : public GbkLineEdit {
    Q_OBJECT
public:
    static constexpr int kLowest = 0;
    static constexpr int kHighest = 100;

    explicit CountEdit(QWidget* parent = nullptr);
    void step(int delta);
    QToolButton* upButton() const { return up_; }
    QToolButton* downButton() const { return down_; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QToolButton* up_;
    QToolButton* down_;
    int position_ = 1;
};

// Editable drop-down whose typed text is GBK in and out.
class GbkComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit GbkComboBox(QWidget* parent = nullptr);
    Text gbkText() const { return mirror_.read(currentText()); }
    void setGbkText(const Text& value) { setEditText(mirror_.write(value)); }
    std::u32string charactersWithoutGbk() const {
        return mirror_.charactersWithoutGbk(currentText());
    }

private:
    GbkMirror mirror_;
};

// Check box that reports a left-button release over it before the release
// toggles the tick. Keyboard toggles report nothing.
class ReleaseCheckBox : public QCheckBox {
    Q_OBJECT
public:
    using QCheckBox::QCheckBox;
    void setReleaseAction(std::function<void()> action) { action_ = std::move(action); }

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    std::function<void()> action_;
};

// Shows one picture stretched over the whole inside of its border.
class PictureBox : public QFrame {
    Q_OBJECT
public:
    explicit PictureBox(QWidget* parent = nullptr);
    void setImage(QImage image);  // a null image empties the box
    const QImage& image() const { return image_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void rescale();

    QImage image_;
    QImage scaled_;  // image_ at the size of the inside, made once per change
};

// Progress bar with the platform's rules: the position always lies within
// 0..maximum, and a maximum of 0 shows an empty bar rather than Qt's busy one.
class RangeProgressBar : public QProgressBar {
    Q_OBJECT
public:
    explicit RangeProgressBar(QWidget* parent = nullptr);
    int logicalMaximum() const { return maximum_; }
    int logicalPosition() const { return position_; }
    void setLogicalMaximum(int value);
    void setLogicalPosition(int value);

private:
    void refresh();
    int maximum_ = 100;
    int position_ = 0;
};

}  // namespace lumigrab::ui
