// The window's controls against the form: names, kinds, parents, places,
// captions and the state every control starts in.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>

#include "port/controls.h"
#include "text/encoding.h"
#include "window_fixture.h"

namespace lumigrab::ui::testing {
namespace {

struct Placed {
    const char* name;
    const char* kind;    // Qt class the control must be
    const char* parent;  // "" for the window itself
    int left, top, width, height;
    const char* caption;  // caption, title or starting text; nullptr: none to check
};

const Placed kControls[] = {
    {"分组框2", "QGroupBox", "", 8, 10, 328, 406, ""},
    {"透明标签6", "QLabel", "分组框2", 10, 16, 55, 24, "图片名称:"},
    {"编辑框_图片名", "QLineEdit", "分组框2", 72, 16, 248, 20, ""},
    {"超级列表框1", "QTableView", "分组框2", 7, 46, 312, 336, nullptr},
    {"进度条1", "QProgressBar", "分组框2", 7, 382, 312, 16, nullptr},
    {"分组框3", "QGroupBox", "", 344, 11, 456, 405, ""},
    {"按钮_上一张", "QPushButton", "分组框3", 8, 9, 80, 24, "上一张"},
    {"按钮_下一张", "QPushButton", "分组框3", 96, 9, 80, 24, "下一张"},
    {"图片框1", "lumigrab::ui::PictureBox", "分组框3", 8, 37, 440, 360, nullptr},
    {"画板1", "QWidget", "图片框1", 135, 79, 176, 120, nullptr},
    {"分组框5", "QGroupBox", "", 808, 12, 176, 260, "图片设置"},
    {"透明标签1", "QLabel", "分组框5", 8, 8, 45, 40, "深度:"},
    {"组合框_页", "QComboBox", "分组框5", 62, 18, 89, 20, ""},
    {"透明标签2", "QLabel", "分组框5", 156, 8, 45, 40, "页"},
    {"透明标签3", "QLabel", "分组框5", 8, 40, 45, 40, "关键词:"},
    {"编辑框_查找", "QLineEdit", "分组框5", 61, 49, 94, 20, ""},
    {"透明标签4", "QLabel", "分组框5", 8, 74, 45, 40, "图片宽:"},
    {"编辑框_宽", "QLineEdit", "分组框5", 62, 80, 91, 20, ""},
    {"透明标签5", "QLabel", "分组框5", 8, 104, 45, 40, "图片高:"},
    {"编辑框_高", "QLineEdit", "分组框5", 62, 107, 91, 20, ""},
    {"透明标签7", "QLabel", "分组框5", 8, 144, 56, 24, "字符个数"},
    {"编辑框_字符数", "QLineEdit", "分组框5", 63, 144, 88, 20, "20"},
    {"按钮_获取图片地址", "QPushButton", "分组框5", 64, 173, 89, 24, "获取图片地址"},
    {"选择框1", "QCheckBox", "分组框5", 64, 212, 80, 24, "自动预览"},
    {"分组框1", "QGroupBox", "", 808, 280, 176, 272, "下载"},
    {"透明标签8", "QLabel", "分组框1", 8, 16, 64, 40, "下载线程"},
    {"编辑框_线程数量", "QLineEdit", "分组框1", 64, 24, 87, 20, "1"},
    {"单选框1", "QRadioButton", "分组框1", 64, 51, 44, 24, "小图"},
    {"单选框2", "QRadioButton", "分组框1", 123, 52, 50, 24, "原图"},
    {"透明标签9", "QLabel", "分组框1", 11, 74, 47, 32, "图片宽:"},
    {"编辑框_W", "QLineEdit", "分组框1", 67, 74, 101, 24, ""},
    {"透明标签10", "QLabel", "分组框1", 13, 104, 47, 32, "图片高:"},
    {"编辑框_W1", "QLineEdit", "分组框1", 68, 104, 100, 24, ""},
    {"选择框_指定宽高", "QCheckBox", "分组框1", 69, 136, 96, 24, "是否指定宽高"},
    {"选择框_保留原图", "QCheckBox", "分组框1", 70, 160, 96, 24, "是否保留原图"},
    {"按钮_下载开始", "QPushButton", "分组框1", 9, 240, 75, 24, "开始下载"},
    {"分组框4", "QGroupBox", "", 8, 424, 792, 128, "工作日志"},
    {"编辑框_日志", "QPlainTextEdit", "分组框4", 8, 16, 776, 104, nullptr},
    {"按钮_下载开始1", "QPushButton", "", 904, 518, 72, 24, "停止下载"},
};

QString Caption(QWidget* widget) {
    if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text();
    if (auto* group = qobject_cast<QGroupBox*>(widget)) return group->title();
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text();
    if (auto* combo = qobject_cast<QComboBox*>(widget)) return combo->currentText();
    return {};
}

using LayoutTest = WindowTest;

TEST_F(LayoutTest, EveryControlHasItsKindParentPlaceAndCaption) {
    for (const Placed& expected : kControls) {
        SCOPED_TRACE(expected.name);
        QObject* found = controls().find(expected.name);
        ASSERT_NE(found, nullptr);
        EXPECT_TRUE(found->inherits(expected.kind)) << found->metaObject()->className();
        auto* widget = qobject_cast<QWidget*>(found);
        ASSERT_NE(widget, nullptr);
        const QString parent = widget->parentWidget()->objectName();
        if (*expected.parent == '\0') {
            EXPECT_EQ(widget->parentWidget(), window.get());
        } else {
            EXPECT_EQ(parent, QString::fromUtf8(expected.parent));
        }
        EXPECT_EQ(widget->geometry(),
                  QRect(expected.left, expected.top, expected.width, expected.height));
        if (expected.caption) {
            EXPECT_EQ(Caption(widget), QString::fromUtf8(expected.caption));
        }
    }
}

TEST_F(LayoutTest, FortyNamedControlsAndNoStrayNames) {
    int named = 0;
    for (QObject* object : window->findChildren<QObject*>()) {
        const QString name = object->objectName();
        // Qt names its own helpers in ASCII ("qt_..."); every form name has CJK.
        if (name.isEmpty() || name.front().unicode() < 0x80) continue;
        ++named;
    }
    EXPECT_EQ(named, 40);
    ASSERT_NE(controls().as<QTimer>(ctl::kPreviewTimer), nullptr);
}

TEST_F(LayoutTest, WindowIsFixedCentredWithoutMaximise) {
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Lumigrab"));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_EQ(window->size(), QSize(MainWindow::kClientWidth, MainWindow::kClientHeight));
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    // Every group box fits in the client area.
    for (const Placed& expected : kControls) {
        if (*expected.parent != '\0') continue;
        EXPECT_TRUE(window->rect().contains(controls().as<QWidget>(expected.name)->geometry()))
            << expected.name;
    }
    const QRect area = window->screen()->availableGeometry();
    EXPECT_LE(std::abs(window->geometry().center().x() - area.center().x()), 2);
    EXPECT_LE(std::abs(window->geometry().center().y() - area.center().y()), 2);
}

TEST_F(LayoutTest, StartingStates) {
    // Visible, enabled and ticked at start: only the drawing panel is hidden,
    // only 选择框1 greyed, only 单选框2 ticked.
    for (const Placed& expected : kControls) {
        const std::string_view name = expected.name;
        auto* widget = controls().as<QWidget>(name);
        EXPECT_EQ(widget->isVisible(), name != ctl::kDrawingPanel) << name;
        EXPECT_EQ(widget->isEnabled(), name != ctl::kAutoPreview) << name;
        if (auto* box = qobject_cast<QAbstractButton*>(widget)) {
            EXPECT_EQ(box->isChecked(), name == ctl::kFullSizeRadio) << name;
        }
    }
    EXPECT_EQ(controls().text(ctl::kThreadCount), "1");
    EXPECT_EQ(controls().text(ctl::kLetterCount), "20");
    EXPECT_EQ(controls().timerInterval(ctl::kPreviewTimer), 0);
    EXPECT_FALSE(controls().as<QTimer>(ctl::kPreviewTimer)->isActive());
    EXPECT_EQ(listView()->model()->rowCount(), 0);
    EXPECT_EQ(controls().progressPosition(ctl::kProgress), 0);
}

TEST_F(LayoutTest, DepthListIsEmptyWithOneToHundredAscending) {
    auto* depth = control<QComboBox>(ctl::kDepth);
    EXPECT_TRUE(depth->isEditable());
    EXPECT_EQ(depth->currentIndex(), -1);
    EXPECT_EQ(controls().selectedIndex(ctl::kDepth), -1);
    EXPECT_EQ(controls().text(ctl::kDepth), "");
    ASSERT_EQ(depth->count(), MainWindow::kDepthEntries);
    for (int i = 0; i < depth->count(); ++i) EXPECT_EQ(depth->itemText(i), QString::number(i + 1));
}

TEST_F(LayoutTest, ResultListColumnsAndBehaviour) {
    QTableView* list = listView();
    const char* const titles[] = {"保存名称", "图片地址", "宽度", "高度", "下载状态", "小图地址"};
    const int widths[] = {60, 80, 50, 50, 60, 50};
    ASSERT_EQ(list->model()->columnCount(), 6);
    for (int column = 0; column < 6; ++column) {
        EXPECT_EQ(list->model()->headerData(column, Qt::Horizontal).toString(),
                  QString::fromUtf8(titles[column]));
        EXPECT_EQ(list->columnWidth(column), widths[column]);
    }
    EXPECT_EQ(list->verticalHeader()->defaultSectionSize(), list->fontMetrics().height() + 4);
    EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(list->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(list->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_FALSE(list->isSortingEnabled());
    EXPECT_TRUE(list->showGrid());
    EXPECT_FALSE(list->wordWrap());
    EXPECT_TRUE(list->horizontalHeader()->sectionsClickable());
    EXPECT_FALSE(list->verticalHeader()->isVisible());
}

TEST_F(LayoutTest, EditBoxesAreCentredSingleLine) {
    for (const Placed& expected : kControls) {
        if (auto* edit = controls().as<QLineEdit>(expected.name)) {
            EXPECT_EQ(edit->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter)
                << expected.name;
            EXPECT_FALSE(edit->isReadOnly());
            EXPECT_EQ(edit->echoMode(), QLineEdit::Normal);
        }
    }
}

TEST_F(LayoutTest, LogHoldsUsageTextGreenOnBlackCaretAtTop) {
    // The usage text, byte for byte: eight CR LF lines, line 5 empty, and
    // one further empty line at the end.
    const char* const lines[] = {
        "使用说明:",
        "1>设定好图片名称,即图片的保存名称,和设定好图片名称后缀的自定义字符个数,主要用来命名图片防止名称一样的",
        "2>设定好关键词,如美少女,和深度,即所需要下载的页数",
        "3>指定好条件后,先获取图片地址,然后再点开始下载",
        "",
        "4>支持指定图片宽高下载,如在图片设置里面指定好400 400 的宽高后就会按指定的宽高去找符合要求的图片,这样下载下来之后就全是这么大的图片",
        "5>支持先下载后 再按指定的宽高修改,自动完成修改,只需勾上是否指定宽高,然后在上面图片宽高处指定需要修改的大小即可,如果勾上保留原图那么会把原图也一并下载",
        "6>支持预览图片,获取图片地址后就可以开始预览了,",
    };
    Text expected;
    for (const char* line : lines) expected += Gbk(line) + "\r\n";
    expected += "\r\n";
    EXPECT_EQ(controls().text(ctl::kLog), expected);
    EXPECT_EQ(expected.substr(expected.size() - 4), "\r\n\r\n");

    auto* log = control<QPlainTextEdit>(ctl::kLog);
    EXPECT_FALSE(log->isReadOnly());
    EXPECT_EQ(log->textCursor().position(), 0);
    EXPECT_FALSE(log->textCursor().hasSelection());
    EXPECT_EQ(log->verticalScrollBar()->value(), 0);
    EXPECT_EQ(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(log->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    EXPECT_EQ(log->palette().color(QPalette::Text), QColor(0, 255, 0));
    EXPECT_EQ(log->palette().color(QPalette::Base), QColor(0, 0, 0));
    // Eight lines and the empty line the final CR LF opens.
    EXPECT_EQ(log->document()->blockCount(), 10);
}

}  // namespace
}  // namespace lumigrab::ui::testing
