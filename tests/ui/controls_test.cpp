// Control operations by name, as the core calls them, on the window thread.
#include <QBuffer>
#include <QComboBox>
#include <QImage>
#include <QLineEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTimer>
#include <QToolButton>

#include "port/controls.h"
#include "window/gbk_mirror.h"
#include "window/widgets.h"
#include "text/encoding.h"
#include "window_fixture.h"

namespace lumigrab::ui::testing {
namespace {

using ControlsTest = WindowTest;

struct Step {
    const char* what;
    const char* start;
    Qt::Key key;  // Key_Up: the up arrow, Key_Down: the down arrow
    const char* after;
};

TEST_F(ControlsTest, UpDownStepsWithinZeroToHundred) {
    const Step steps[] = {
        {"UpFromDefault", "1", Qt::Key_Up, "2"},
        {"DownToZero", "1", Qt::Key_Down, "0"},
        {"UpAtLimit", "100", Qt::Key_Up, "100"},
        {"DownAtZero", "0", Qt::Key_Down, "0"},
        {"UpBeyondLimit", "250", Qt::Key_Up, "100"},
        {"DownBelowZero", "-7", Qt::Key_Down, "0"},
        {"SpacesAround", " 41 ", Qt::Key_Up, "42"},
    };
    auto* box = control<CountEdit>(ctl::kThreadCount);
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        controls().setText(ctl::kThreadCount, s.start);
        QToolButton* arrow = s.key == Qt::Key_Up ? box->upButton() : box->downButton();
        QTest::mouseClick(arrow, Qt::LeftButton);
        EXPECT_EQ(controls().text(ctl::kThreadCount), s.after);
        // The arrow keys in the box do the same.
        controls().setText(ctl::kThreadCount, s.start);
        QTest::keyClick(box, s.key);
        EXPECT_EQ(controls().text(ctl::kThreadCount), s.after);
    }
}

TEST_F(ControlsTest, UpDownStepsFromLastNumberWhenTextIsNotOne) {
    auto* box = control<CountEdit>(ctl::kThreadCount);
    controls().setText(ctl::kThreadCount, "5");
    QTest::mouseClick(box->upButton(), Qt::LeftButton);  // 6
    controls().setText(ctl::kThreadCount, "abc");
    EXPECT_EQ(controls().text(ctl::kThreadCount), "abc");  // any text is taken
    QTest::mouseClick(box->upButton(), Qt::LeftButton);
    EXPECT_EQ(controls().text(ctl::kThreadCount), "7");
}

Bytes PngOf(const QImage& image) {
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, "PNG"));
    return Bytes(data.begin(), data.end());
}

TEST_F(ControlsTest, PictureIsStretchedOverWholeBox) {
    // 1000 x 200: left half red, right half blue.
    QImage wide(1000, 200, QImage::Format_RGB32);
    wide.fill(Qt::red);
    for (int y = 0; y < 200; ++y) {
        for (int x = 500; x < 1000; ++x) wide.setPixel(x, y, qRgb(0, 0, 255));
    }
    controls().setPicture(ctl::kPictureBox, PngOf(wide));
    auto* box = control<PictureBox>(ctl::kPictureBox);
    ASSERT_EQ(box->image().size(), QSize(1000, 200));

    const QImage shot = box->grab().toImage();
    const QRect inside = box->contentsRect();
    ASSERT_EQ(box->size(), QSize(440, 360));
    // Corners and the middle band of the box show the picture, so it covers
    // all of it, width and height scaled apart.
    struct Probe {
        int x, y;
        QColor colour;
    };
    const Probe probes[] = {
        {inside.left(), inside.top(), Qt::red},
        {inside.left(), inside.bottom(), Qt::red},
        {inside.right(), inside.top(), Qt::blue},
        {inside.right(), inside.bottom(), Qt::blue},
        {inside.center().x() - 4, inside.center().y(), Qt::red},
        {inside.center().x() + 4, inside.center().y(), Qt::blue},
    };
    for (const Probe& p : probes) {
        EXPECT_EQ(QColor(shot.pixel(p.x, p.y)), p.colour) << p.x << "," << p.y;
    }
}

TEST_F(ControlsTest, BytesNoDecoderTakesLeaveBoxEmpty) {
    QImage small(16, 16, QImage::Format_RGB32);
    small.fill(Qt::green);
    controls().setPicture(ctl::kPictureBox, PngOf(small));
    auto* box = control<PictureBox>(ctl::kPictureBox);
    ASSERT_FALSE(box->image().isNull());
    const Bytes garbage = {'n', 'o', 't', ' ', 'a', ' ', 'p', 'i', 'c', 't', 'u', 'r', 'e'};
    for (const Bytes& refused : {garbage, Bytes{}}) {
        controls().setPicture(ctl::kPictureBox, PngOf(small));
        controls().setPicture(ctl::kPictureBox, refused);
        EXPECT_TRUE(box->image().isNull());
        const QImage shot = box->grab().toImage();
        EXPECT_NE(QColor(shot.pixel(100, 100)), QColor(Qt::green));
    }
}

struct ProgressStep {
    const char* what;
    int maximum;
    int position;
    int readMaximum;
    int readPosition;
};

TEST_F(ControlsTest, ProgressPositionStaysWithinRange) {
    const ProgressStep steps[] = {
        {"Plain", 10, 4, 10, 4},
        {"BeyondMaximum", 10, 15, 10, 10},
        {"BelowZero", 10, -1, 10, 0},
        {"ZeroMaximum", 0, 3, 0, 0},
    };
    auto* bar = control<QProgressBar>(ctl::kProgress);
    for (const ProgressStep& s : steps) {
        SCOPED_TRACE(s.what);
        controls().setProgressMaximum(ctl::kProgress, s.maximum);
        controls().setProgressPosition(ctl::kProgress, s.position);
        EXPECT_EQ(controls().progressMaximum(ctl::kProgress), s.readMaximum);
        EXPECT_EQ(controls().progressPosition(ctl::kProgress), s.readPosition);
        EXPECT_LT(bar->minimum(), bar->maximum());  // never Qt's busy bar
    }
    // A lower maximum pulls the position down with it.
    controls().setProgressMaximum(ctl::kProgress, 20);
    controls().setProgressPosition(ctl::kProgress, 20);
    controls().setProgressMaximum(ctl::kProgress, 5);
    EXPECT_EQ(controls().progressPosition(ctl::kProgress), 5);
}

TEST_F(ControlsTest, TimerTicksOnlyWhileIntervalPositive) {
    auto* timer = controls().as<QTimer>(ctl::kPreviewTimer);
    ASSERT_NE(timer, nullptr);
    controls().setTimerInterval(ctl::kPreviewTimer, 20);
    EXPECT_TRUE(timer->isActive());
    EXPECT_EQ(controls().timerInterval(ctl::kPreviewTimer), 20);
    EXPECT_TRUE(QTest::qWaitFor([&] { return handlers.count("timerTick") >= 2; }, 5000));

    controls().setTimerInterval(ctl::kPreviewTimer, 0);
    EXPECT_FALSE(timer->isActive());
    EXPECT_EQ(controls().timerInterval(ctl::kPreviewTimer), 0);
    const int ticks = handlers.count("timerTick");
    QTest::qWait(100);
    EXPECT_EQ(handlers.count("timerTick"), ticks);
}

ImageRecord Record(const Text& address) {
    ImageRecord record;
    record.address = address;
    record.width = "400";
    record.height = "300";
    record.thumbnail = address + "/small";
    return record;
}

// Whether the view shows exactly what the list holds: the same rows, every
// cell's bytes, and each short cell's text as shown.
::testing::AssertionResult ShowsList(PictureListModel& model, const PictureList& list) {
    const auto rows = list.rows();
    if (model.rowCount() != static_cast<int>(rows.size())) {
        return ::testing::AssertionFailure()
               << model.rowCount() << " rows shown, " << rows.size() << " held";
    }
    for (int row = 0; row < model.rowCount(); ++row) {
        for (int column = 0; column < PictureListModel::kColumns; ++column) {
            const Text& held = CellOf(rows[static_cast<std::size_t>(row)].second, column);
            if (model.cell(row, column) != held ||
                model.data(model.index(row, column)).toString() != ToQt(held)) {
                return ::testing::AssertionFailure() << "row " << row << " column " << column;
            }
        }
    }
    return ::testing::AssertionSuccess();
}

TEST_F(ControlsTest, ResultListShowsWhatTheListHoldsAfterEachBatch) {
    PictureListModel& model = listModel();
    QAbstractItemModelTester checked(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    const auto name = [](int position) { return Gbk("图") + " " + std::to_string(position); };
    const RowId first = list.append({Record("http://a/1"), Record("http://a/2")}, name);
    list.append({Record("http://a/3")}, name);
    EXPECT_TRUE(QTest::qWaitFor([&] { return model.rowCount() == 3; }, 5000));
    EXPECT_TRUE(ShowsList(model, list));

    // Row states, odd bytes included.
    const Text oddBytes = "\x81" + Gbk("下载状态") + "\xFF";
    list.setCell(first + 1, ctl::kColState, oddBytes);
    list.setCell(first, ctl::kColState, "OK");
    EXPECT_TRUE(QTest::qWaitFor([&] { return model.cell(0, ctl::kColState) == "OK"; }, 5000));
    EXPECT_TRUE(ShowsList(model, list));
    // The view hears of both rows, so it repaints them.
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed[0][0].value<QModelIndex>().row(), 0);
    EXPECT_EQ(changed[0][1].value<QModelIndex>().row(), 1);
    EXPECT_EQ(changed[0][1].value<QModelIndex>().column(), ctl::kColThumbnail);
    EXPECT_EQ(model.cell(1, ctl::kColState), oddBytes);
    EXPECT_EQ(model.cell(3, 0), "");
    EXPECT_EQ(model.cell(0, PictureListModel::kColumns), "");

    // Emptied and refilled before the window looked: only the new rows show.
    list.clear();
    list.append({Record("http://b/1")}, name);
    EXPECT_TRUE(QTest::qWaitFor([&] { return model.cell(0, 1) == "http://b/1"; }, 5000));
    EXPECT_TRUE(ShowsList(model, list));
    list.clear();
    EXPECT_TRUE(QTest::qWaitFor([&] { return model.rowCount() == 0; }, 5000));
}

// A harvest appends thousands of rows at once: the view takes them in one
// insertion rather than one per row.
TEST_F(ControlsTest, ResultListTakesABurstOfRowsAsOneInsertion) {
    PictureListModel& model = listModel();
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    std::vector<ImageRecord> burst(40000, Record("http://c/x"));
    list.append(std::move(burst));
    EXPECT_TRUE(QTest::qWaitFor([&] { return model.rowCount() == 40000; }, 20000));
    EXPECT_EQ(inserted.count(), 1);
    EXPECT_EQ(listView()->model()->rowCount(), 40000);
}

// Laying out a megabyte on every repaint froze the window: the cell shows a
// short head of it while the list keeps every byte.
TEST_F(ControlsTest, LongCellShowsItsHeadAndKeepsEveryByte) {
    const Text address = Gbk("图") + std::string(std::size_t{1} << 20, 'a');
    list.append({Record(address)});
    listModel().applyChanges();
    EXPECT_EQ(listModel().cell(0, ctl::kColAddress), address);
    const QString shown =
        listView()->model()->data(listModel().index(0, ctl::kColAddress)).toString();
    EXPECT_LT(shown.size(), 2000);
    EXPECT_TRUE(shown.startsWith(QString::fromUtf8("图aaa"))) << shown.left(10).toStdString();
}

// What the user types may hold characters that system text cannot; text()
// gives each as "?", and the box names them.
TEST_F(ControlsTest, TypedCharactersWithoutGbkAreNamed) {
    const QString typed = QString::fromUtf8("\xF0\x9F\x98\x80猫\xF0\x9F\x90\xB1");
    control<QLineEdit>(ctl::kKeyword)->setText(typed);
    control<QComboBox>(ctl::kDepth)->setEditText(typed);
    for (std::string_view name : {ctl::kKeyword, ctl::kDepth}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(controls().text(name), "?" + Gbk("猫") + "?");
        EXPECT_EQ(controls().charactersWithoutGbk(name), U"\U0001F600\U0001F431");
        // Bytes the program wrote are system text by definition, whatever they show as.
        controls().setText(name, "\x81" + Gbk("猫"));
        EXPECT_EQ(controls().charactersWithoutGbk(name), U"");
    }
    EXPECT_EQ(controls().charactersWithoutGbk(ctl::kHarvestButton), U"");
}

TEST_F(ControlsTest, EditTextsKeepExactBytesUntilTyped) {
    const Text odd = Gbk("关键词") + "\x81";
    for (std::string_view name : {ctl::kKeyword, ctl::kPictureName, ctl::kDepth}) {
        SCOPED_TRACE(name);
        controls().setText(name, odd);
        EXPECT_EQ(controls().text(name), odd);
        controls().setText(name, Gbk("美少女"));
        EXPECT_EQ(controls().text(name), Gbk("美少女"));
    }
    auto* keyword = control<QLineEdit>(ctl::kKeyword);
    keyword->setFocus();
    keyword->end(false);
    QTest::keyClicks(keyword, "2");
    EXPECT_EQ(controls().text(ctl::kKeyword), Gbk("美少女") + "2");
    controls().appendText(ctl::kKeyword, "3");
    EXPECT_EQ(controls().text(ctl::kKeyword), Gbk("美少女") + "23");
}

TEST_F(ControlsTest, DepthSelectionReadsAsIndex) {
    auto* depth = control<QComboBox>(ctl::kDepth);
    depth->setCurrentIndex(4);
    EXPECT_EQ(controls().selectedIndex(ctl::kDepth), 4);
    EXPECT_EQ(controls().text(ctl::kDepth), "5");
}

TEST_F(ControlsTest, CheckStatesByProgram) {
    // Unticking the ticked radio box by program works, and ticking one leaves
    // its partner alone, as the platform's radio buttons do.
    controls().setChecked(ctl::kFullSizeRadio, false);
    EXPECT_FALSE(controls().isChecked(ctl::kFullSizeRadio));
    EXPECT_FALSE(controls().isChecked(ctl::kThumbnailRadio));
    controls().setChecked(ctl::kThumbnailRadio, true);
    EXPECT_TRUE(controls().isChecked(ctl::kThumbnailRadio));
    // A user click still makes the pair exclusive.
    QTest::mouseClick(control<QRadioButton>(ctl::kFullSizeRadio), Qt::LeftButton);
    EXPECT_TRUE(controls().isChecked(ctl::kFullSizeRadio));
    EXPECT_FALSE(controls().isChecked(ctl::kThumbnailRadio));

    controls().setChecked(ctl::kAutoPreview, true);
    EXPECT_TRUE(controls().isChecked(ctl::kAutoPreview));
    controls().setEnabled(ctl::kHarvestButton, false);
    EXPECT_FALSE(controls().isEnabled(ctl::kHarvestButton));
    controls().setEnabled(ctl::kHarvestButton, true);
    EXPECT_TRUE(controls().isEnabled(ctl::kHarvestButton));
}

TEST_F(ControlsTest, UnknownOrWrongKindReadsEmpty) {
    EXPECT_EQ(controls().text("no such control"), "");
    EXPECT_EQ(controls().text(ctl::kHarvestButton), "");
    EXPECT_EQ(controls().selectedIndex(ctl::kKeyword), -1);
    EXPECT_FALSE(controls().isChecked(ctl::kHarvestButton));
    EXPECT_EQ(controls().timerInterval(ctl::kLog), 0);
    EXPECT_EQ(controls().progressMaximum(ctl::kLog), 0);
    controls().setText("no such control", "x");
    controls().setText(ctl::kResultList, "x");
    EXPECT_EQ(controls().text(ctl::kResultList), "");
}

}  // namespace
}  // namespace lumigrab::ui::testing
