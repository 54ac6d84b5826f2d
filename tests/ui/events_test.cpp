// Which handler each control event runs, when, and how often.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>

#include <cstdlib>

#include "port/controls.h"
#include "program/program.h"
#include "support/fake_window.h"
#include "support/files.h"
#include "text/encoding.h"
#include "tools/standin/standin.h"
#include "window/cross_thread_port.h"
#include "window_fixture.h"

namespace lumigrab::ui::testing {
namespace {

using EventsTest = WindowTest;

TEST_F(EventsTest, ButtonClicksRunTheirHandlers) {
    const std::pair<std::string_view, const char*> wiring[] = {
        {ctl::kHarvestButton, "harvestClicked"},   {ctl::kDownloadButton, "downloadClicked"},
        {ctl::kStopButton, "stopClicked"},         {ctl::kPreviousButton, "previousClicked"},
        {ctl::kNextButton, "nextClicked"},
    };
    for (const auto& [name, handler] : wiring) {
        SCOPED_TRACE(name);
        handlers.ran.clear();
        QTest::mouseClick(control<QPushButton>(name), Qt::LeftButton);
        EXPECT_EQ(handlers.ran, std::vector<std::string>{handler});
    }
}

TEST_F(EventsTest, AutoPreviewReleaseRunsBeforeTickToggles) {
    auto* box = control<QCheckBox>(ctl::kAutoPreview);
    controls().setEnabled(ctl::kAutoPreview, true);
    std::vector<bool> tickSeen;
    handlers.onRelease = [&] { tickSeen.push_back(box->isChecked()); };

    QTest::mouseClick(box, Qt::LeftButton);
    QTest::mouseClick(box, Qt::LeftButton);
    EXPECT_EQ(tickSeen, (std::vector<bool>{false, true}));
    EXPECT_FALSE(box->isChecked());
}

TEST_F(EventsTest, AutoPreviewKeyboardAndOtherButtonsRunNothing) {
    auto* box = control<QCheckBox>(ctl::kAutoPreview);
    controls().setEnabled(ctl::kAutoPreview, true);
    box->setFocus();
    QTest::keyClick(box, Qt::Key_Space);
    EXPECT_TRUE(box->isChecked());  // the tick changed...
    QTest::mouseClick(box, Qt::RightButton);
    EXPECT_EQ(handlers.count("autoPreviewReleased"), 0);  // ...and nothing ran
}

TEST_F(EventsTest, AutoPreviewReleaseOutsideRunsNothing) {
    auto* box = control<QCheckBox>(ctl::kAutoPreview);
    controls().setEnabled(ctl::kAutoPreview, true);
    QTest::mousePress(box, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseRelease(box, Qt::LeftButton, {}, QPoint(box->width() + 20, 5));
    EXPECT_EQ(handlers.count("autoPreviewReleased"), 0);
    EXPECT_FALSE(box->isChecked());
}

TEST_F(EventsTest, ListClicksRunNothing) {
    list.append({ImageRecord{"row", "http://a/1", "", "", "", ""}});
    listModel().applyChanges();
    QTableView* view = listView();
    const QRect cell = view->visualRect(view->model()->index(0, 0));
    handlers.ran.clear();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, cell.center());
    EXPECT_TRUE(handlers.ran.empty());
    EXPECT_EQ(view->currentIndex().row(), 0);
    // Whole rows are selected, and nothing opens for editing.
    EXPECT_EQ(view->selectionModel()->selectedIndexes().size(), 6);
    EXPECT_TRUE(view->findChildren<QLineEdit*>().isEmpty());
}

TEST(WindowStart, CreatedRunsOnceBeforeShowAndGreysAutoPreviewRegardless) {
    RecordingHandlers handlers;
    PictureList list;
    MainWindow window(handlers, list);
    bool visibleAtCreated = true;
    handlers.onCreated = [&] {
        visibleAtCreated = window.isVisible();
        // Whatever the handler does, the box is greyed afterwards.
        window.controls().setEnabled(ctl::kAutoPreview, true);
    };
    window.showCentred();
    EXPECT_FALSE(visibleAtCreated);
    EXPECT_FALSE(window.controls().isEnabled(ctl::kAutoPreview));
    window.hide();
    window.showCentred();
    EXPECT_EQ(handlers.count("windowCreated"), 1);
}

// HOME unset: no folder for the skin library and no pictures folder. The
// skin still comes (from memory), and the log names both folders, as a
// download names one it could not make.
TEST(WindowStart, InstalledWithoutItsFoldersComesUpAndNamesThemInTheLog) {
    const std::vector<std::filesystem::path> missing{"$HOME/.local/share/lumigrab", "$HOME/Pictures/Lumigrab"};
    Program program(ProgramInfo{"/usr/bin", "lumigrab", ProgramPlaces{true, {}, missing[1], missing}});
    MainWindow window(program, program.pictureList());
    CrossThreadPort port(window.controls(), &window);
    program.attachWindow(port, [] {});
    window.showCentred();
    ASSERT_TRUE(window.isVisible());

    Text rest;
    const std::vector<Text> lines = LogLines(window.controls().text(ctl::kLog), rest);
    ASSERT_GE(lines.size(), 2u);
    // After the usage text, each behind its time stamp and a space.
    EXPECT_EQ(lines[lines.size() - 2].substr(20), Gbk("目录创建失败:$HOME/.local/share/lumigrab"));
    EXPECT_EQ(lines.back().substr(20), Gbk("目录创建失败:$HOME/Pictures/Lumigrab"));
}

TEST_F(EventsTest, FirstActivationRunsOnce) {
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    EXPECT_TRUE(QTest::qWaitFor([&] { return handlers.count("firstActivation") == 1; }, 5000));

    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    window->raiseMainWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QApplication::processEvents();
    EXPECT_EQ(handlers.count("firstActivation"), 1);
}

TEST_F(EventsTest, RaiseRestoresMinimisedWindow) {
    window->showMinimized();
    QApplication::processEvents();
    window->raiseMainWindow();
    QApplication::processEvents();
    EXPECT_FALSE(window->isMinimized());
    EXPECT_TRUE(window->isVisible());
}

TEST_F(EventsTest, CloseRunsTheCloseAction) {
    int closed = 0;
    window->setCloseAction([&] { ++closed; });
    window->close();
    EXPECT_EQ(closed, 1);
}

// What the program's handlers do beyond the core's: the automatic preview's
// fetches in flight show rows of the list that a harvest, or a Stop that
// stopped a run, empties, so they end with it and show nothing.
struct EndingCase {
    const char* name;
    void (*act)(Program& program);
    bool fetchShows;
};

class ProgramEnds : public ::testing::TestWithParam<EndingCase> {};

TEST_P(ProgramEnds, AutoPreviewFetchesWithTheList) {
    using namespace std::chrono_literals;
    using standin::PictureKind;
    standin::StandinServer server;
    setenv("https_proxy", server.proxyUrl().c_str(), 1);
    setenv("HTTPS_PROXY", server.proxyUrl().c_str(), 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    lumigrab::testing::TempFolder folder("lumigrab-program");
    lumigrab::testing::FakeWindow window;
    Program program(ProgramInfo{folder.path(), "lumigrab", PortablePlaces(folder.path())});
    program.attachWindow(window, {});
    window.setText(ctl::kKeyword, "kitten");
    window.selectEntry(ctl::kDepth, 0);
    window.setText(ctl::kPictureName, "cat");
    window.insertRow(ctl::kResultList, 0, "slow");
    window.setCell(ctl::kResultList, 0, ctl::kColAddress, server.pictureUrl(PictureKind::Slow, 2) + "?ms=5000");
    window.setCell(ctl::kResultList, 0, ctl::kColThumbnail,
                   server.pictureUrl(PictureKind::Slow, 1, true) + "?ms=1500");
    program.timerTick();
    ASSERT_TRUE(server.waitForRequests(1, 10s));

    GetParam().act(program);
    ASSERT_TRUE(DetachedThreads::waitAllIdle(30s));

    EXPECT_EQ(window.pictureChanges(ctl::kPictureBox), GetParam().fetchShows ? 1 : 0);
    program.endRuns(30s);
}

INSTANTIATE_TEST_SUITE_P(
    Handlers, ProgramEnds,
    ::testing::Values(EndingCase{"Stop",
                                 [](Program& p) {
                                     p.downloadClicked();
                                     p.stopClicked();
                                 },
                                 false},
                      EndingCase{"StopWithoutARun", [](Program& p) { p.stopClicked(); }, true},
                      EndingCase{"Harvest", [](Program& p) { p.harvestClicked(); }, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lumigrab::ui::testing
