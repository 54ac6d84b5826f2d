#include "window/main_window.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTableView>
#include <QTimer>

#include "port/controls.h"
#include "window/log_box.h"
#include "window/picture_list_model.h"
#include "window/widgets.h"
#include "window/window_controls.h"
#include "text/encoding.h"

namespace lumigrab::ui {

Text UsageText() {
    static const char* const kLines[] = {
        "使用说明:",
        "1>设定好图片名称,即图片的保存名称,和设定好图片名称后缀的自定义字符个数,主要用来命名图片防止名称一样的",
        "2>设定好关键词,如美少女,和深度,即所需要下载的页数",
        "3>指定好条件后,先获取图片地址,然后再点开始下载",
        "",
        "4>支持指定图片宽高下载,如在图片设置里面指定好400 400 的宽高后就会按指定的宽高去找符合要求的图片,这样下载下来之后就全是这么大的图片",
        "5>支持先下载后 再按指定的宽高修改,自动完成修改,只需勾上是否指定宽高,然后在上面图片宽高处指定需要修改的大小即可,如果勾上保留原图那么会把原图也一并下载",
        "6>支持预览图片,获取图片地址后就可以开始预览了,",
        "",
    };
    Text text;
    for (const char* line : kLines) {
        text += Gbk(line);
        text += "\r\n";
    }
    return text;
}

namespace {

QString Name(std::string_view name) {
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

template <typename W>
W* Place(W* widget, std::string_view name, int left, int top, int width, int height) {
    widget->setObjectName(Name(name));
    widget->setGeometry(left, top, width, height);
    return widget;
}

QGroupBox* Group(QWidget* parent, std::string_view name, const char* caption, int left, int top,
                 int width, int height) {
    return Place(new QGroupBox(QString::fromUtf8(caption), parent), name, left, top, width,
                 height);
}

// A caption with no background of its own. The form centres each caption
// on the box beside it (a 40-high label next to a 20-high box), so the text
// sits vertically centred in its label.
QLabel* Label(QWidget* parent, std::string_view name, const char* caption, int left, int top,
              int width, int height) {
    auto* label = Place(new QLabel(QString::fromUtf8(caption), parent), name, left, top, width,
                        height);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label->setWordWrap(true);
    label->setAttribute(Qt::WA_TranslucentBackground);
    return label;
}

QPushButton* Button(QWidget* parent, std::string_view name, const char* caption, int left,
                    int top, int width, int height) {
    auto* button = Place(new QPushButton(QString::fromUtf8(caption), parent), name, left, top,
                         width, height);
    button->setAutoDefault(false);
    return button;
}

GbkLineEdit* Edit(QWidget* parent, std::string_view name, int left, int top, int width,
                  int height) {
    return Place(new GbkLineEdit(parent), name, left, top, width, height);
}

}  // namespace

MainWindow::MainWindow(EventHandlers& handlers, PictureList& list)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint),
      handlers_(handlers) {
    setWindowTitle(QStringLiteral("Lumigrab"));
    setFixedSize(kClientWidth, kClientHeight);
    buildControls(list);
    controls_ = std::make_unique<WindowControls>(this, list);
}

MainWindow::~MainWindow() = default;

void MainWindow::buildControls(PictureList& rows) {
    using namespace ctl;

    // The result list.
    QGroupBox* list = Group(this, "分组框2", "", 8, 10, 328, 406);
    Label(list, kPictureNameLabel, "图片名称:", 10, 16, 55, 24);
    Edit(list, kPictureName, 72, 16, 248, 20);
    auto* table = Place(new QTableView(list), kResultList, 7, 46, 312, 336);
    table->setModel(new PictureListModel(rows, table));
    const int widths[PictureListModel::kColumns] = {60, 80, 50, 50, 60, 50};
    for (int column = 0; column < PictureListModel::kColumns; ++column) {
        table->setColumnWidth(column, widths[column]);
    }
    table->verticalHeader()->setVisible(false);
    table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 4);
    table->horizontalHeader()->setSectionsClickable(true);
    table->horizontalHeader()->setHighlightSections(false);
    table->horizontalHeader()->setStretchLastSection(false);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSortingEnabled(false);
    table->setShowGrid(true);
    table->setWordWrap(false);
    Place(new RangeProgressBar(list), kProgress, 7, 382, 312, 16);

    // The preview.
    QGroupBox* preview = Group(this, "分组框3", "", 344, 11, 456, 405);
    auto* previous = Button(preview, kPreviousButton, "上一张", 8, 9, 80, 24);
    auto* next = Button(preview, kNextButton, "下一张", 96, 9, 80, 24);
    auto* pictureBox = Place(new PictureBox(preview), kPictureBox, 8, 37, 440, 360);
    Place(new QWidget(pictureBox), kDrawingPanel, 135, 79, 176, 120)->hide();
    auto* timer = new QTimer(this);
    timer->setObjectName(Name(kPreviewTimer));
    timer->setProperty("lumigrabInterval", 0);

    // The harvest settings.
    QGroupBox* harvest = Group(this, "分组框5", "图片设置", 808, 12, 176, 260);
    Label(harvest, "透明标签1", "深度:", 8, 8, 45, 40);
    auto* depth = Place(new GbkComboBox(harvest), kDepth, 62, 18, 89, 20);
    for (int entry = 1; entry <= kDepthEntries; ++entry) depth->addItem(QString::number(entry));
    depth->setCurrentIndex(-1);
    depth->setEditText(QString());
    Label(harvest, "透明标签2", "页", 156, 8, 45, 40);
    Label(harvest, "透明标签3", "关键词:", 8, 40, 45, 40);
    Edit(harvest, kKeyword, 61, 49, 94, 20);
    Label(harvest, "透明标签4", "图片宽:", 8, 74, 45, 40);
    Edit(harvest, kWidthFilter, 62, 80, 91, 20);
    Label(harvest, "透明标签5", "图片高:", 8, 104, 45, 40);
    Edit(harvest, kHeightFilter, 62, 107, 91, 20);
    Label(harvest, "透明标签7", "字符个数", 8, 144, 56, 24);
    Edit(harvest, kLetterCount, 63, 144, 88, 20)->setGbkText("20");
    auto* harvestButton = Button(harvest, kHarvestButton, "获取图片地址", 64, 173, 89, 24);
    auto* autoPreview = Place(new ReleaseCheckBox(QString::fromUtf8("自动预览"), harvest),
                              kAutoPreview, 64, 212, 80, 24);

    // The download settings.
    QGroupBox* download = Group(this, "分组框1", "下载", 808, 280, 176, 272);
    Label(download, "透明标签8", "下载线程", 8, 16, 64, 40);
    Place(new CountEdit(download), kThreadCount, 64, 24, 87, 20)->setGbkText("1");
    Place(new QRadioButton(QString::fromUtf8("小图"), download), kThumbnailRadio, 64, 51, 44, 24);
    Place(new QRadioButton(QString::fromUtf8("原图"), download), kFullSizeRadio, 123, 52, 50, 24)
        ->setChecked(true);
    Label(download, "透明标签9", "图片宽:", 11, 74, 47, 32);
    Edit(download, kResizeWidth, 67, 74, 101, 24);
    Label(download, "透明标签10", "图片高:", 13, 104, 47, 32);
    Edit(download, kResizeHeight, 68, 104, 100, 24);
    Place(new QCheckBox(QString::fromUtf8("是否指定宽高"), download), kResizeCheck, 69, 136, 96, 24);
    Place(new QCheckBox(QString::fromUtf8("是否保留原图"), download), kKeepOriginalCheck, 70, 160,
          96, 24);
    auto* downloadButton = Button(download, kDownloadButton, "开始下载", 9, 240, 75, 24);

    // The work log.
    QGroupBox* logGroup = Group(this, "分组框4", "工作日志", 8, 424, 792, 128);
    auto* log = Place(new LogBox(logGroup), kLog, 8, 16, 776, 104);
    log->setGbkText(UsageText());

    auto* stopButton = Button(this, kStopButton, "停止下载", 904, 518, 72, 24);

    // Events. Every handler runs here, on the window thread.
    connect(harvestButton, &QPushButton::clicked, this, [this] { handlers_.harvestClicked(); });
    connect(downloadButton, &QPushButton::clicked, this, [this] { handlers_.downloadClicked(); });
    connect(stopButton, &QPushButton::clicked, this, [this] { handlers_.stopClicked(); });
    connect(previous, &QPushButton::clicked, this, [this] { handlers_.previousClicked(); });
    connect(next, &QPushButton::clicked, this, [this] { handlers_.nextClicked(); });
    connect(timer, &QTimer::timeout, this, [this] { handlers_.timerTick(); });
    autoPreview->setReleaseAction([this] { handlers_.autoPreviewReleased(); });
}

void MainWindow::showCentred() {
    if (!created_) {
        created_ = true;
        handlers_.windowCreated();
        // Automatic preview stays off until a harvest has filled the list,
        // whatever the created handler did.
        controls_->setEnabled(ctl::kAutoPreview, false);
        if (QScreen* screen = this->screen()) {
            const QRect area = screen->availableGeometry();
            move(area.center() - QPoint(width() / 2, height() / 2));
        }
    }
    show();
}

void MainWindow::raiseMainWindow() {
    if (isMinimized()) showNormal();
    show();
    raise();
    activateWindow();
}

bool MainWindow::event(QEvent* event) {
    if (event->type() == QEvent::WindowActivate && !activated_) {
        activated_ = true;
        // Run after the activation has been handled, not inside it: the
        // handler may show a message box or end the process.
        QMetaObject::invokeMethod(this, [this] { handlers_.firstActivation(); },
                                  Qt::QueuedConnection);
    }
    return QWidget::event(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    if (closeAction_) closeAction_();
}

}  // namespace lumigrab::ui
