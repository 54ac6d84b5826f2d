// The port from worker threads: writes are handed over and land on the window
// thread in order without the worker waiting; reads and the message box wait.
#include <QBuffer>
#include <QEventLoop>
#include <QTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <atomic>
#include <future>
#include <map>
#include <thread>
#include <vector>

#include "port/controls.h"
#include "window/cross_thread_port.h"
#include "window/log_box.h"
#include "window/widgets.h"
#include "text/encoding.h"
#include "window_fixture.h"

namespace lumigrab::ui::testing {
namespace {

Bytes Png(QSize size) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::yellow);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, "PNG"));
    return Bytes(png.begin(), png.end());
}

class CrossThreadTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        port = std::make_unique<CrossThreadPort>(controls(), window.get());
    }
    void TearDown() override {
        port.reset();
        WindowTest::TearDown();
    }
    // Keeps the window thread serving calls until every worker has finished.
    void runWorkers(int count, const std::function<void(int)>& body) {
        std::atomic<int> finished{0};
        QEventLoop loop;
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, &loop, [&] {
            if (finished == count) loop.quit();
        });
        QTimer::singleShot(120000, &loop, &QEventLoop::quit);
        check.start(5);
        std::vector<std::thread> workers;
        for (int t = 0; t < count; ++t) {
            workers.emplace_back([&, t] {
                body(t);
                ++finished;
            });
        }
        // A real event loop: queued calls wake it at once.
        loop.exec();
        const bool done = finished == count;
        for (auto& w : workers) w.join();  // returns at once: all have finished
        ASSERT_TRUE(done);
    }
    std::unique_ptr<CrossThreadPort> port;
};

TEST_F(CrossThreadTest, ConcurrentAppendsLandWholeAndInOrder) {
    constexpr int kThreads = 8;
    constexpr int kLines = 200;
    const Text body = Gbk("下载图片已启动，线程内容不可混杂");
    port->setText(ctl::kLog, Text{});
    runWorkers(kThreads, [&](int t) {
        for (int i = 0; i < kLines; ++i) {
            port->appendText(ctl::kLog, "T" + std::to_string(t) + " " + body + " " +
                                            std::to_string(i) + "\r\n");
        }
    });

    Text rest;
    const std::vector<Text> lines = LogLines(port->text(ctl::kLog), rest);
    std::map<int, int> nextIndex;
    for (const Text& line : lines) {
        const size_t bodyAt = line.find(' ');
        ASSERT_NE(bodyAt, Text::npos) << line;
        ASSERT_EQ(line.substr(bodyAt + 1, body.size()), body) << line;
        const int t = std::stoi(line.substr(1, bodyAt - 1));
        const int i = std::stoi(line.substr(bodyAt + 2 + body.size()));
        EXPECT_EQ(i, nextIndex[t]++) << "thread " << t;
    }
    EXPECT_TRUE(rest.empty());  // nothing after the last CR LF
    EXPECT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(nextIndex[t], kLines);
}

TEST_F(CrossThreadTest, WorkHandedOverRunsAsOneStepInOrder) {
    constexpr int kThreads = 4;
    constexpr int kSteps = 100;
    port->setText(ctl::kLog, Text{});
    CrossThreadPort* window = port.get();
    runWorkers(kThreads, [&](int t) {
        for (int i = 0; i < kSteps; ++i) {
            const Text name = std::to_string(t) + "-" + std::to_string(i);
            // The work runs after the worker has gone on: it holds copies.
            window->runOnWindowThread([window, name] {
                window->setText(ctl::kKeyword, name);
                // Nothing handed over in the meantime comes between.
                window->appendText(ctl::kLog, window->text(ctl::kKeyword) + "\r\n");
            });
            window->setText(ctl::kKeyword, "between");
        }
    });
    Text rest;
    const std::vector<Text> lines = LogLines(port->text(ctl::kLog), rest);
    std::map<int, int> nextIndex;
    for (const Text& line : lines) {
        const size_t dash = line.find('-');
        ASSERT_NE(dash, Text::npos) << line;
        const int t = std::stoi(line.substr(0, dash));
        EXPECT_EQ(std::stoi(line.substr(dash + 1)), nextIndex[t]++) << line;
    }
    EXPECT_EQ(lines.size(), static_cast<size_t>(kThreads * kSteps));
    EXPECT_EQ(port->text(ctl::kKeyword), "between");
}

TEST_F(CrossThreadTest, RowsAppendedByWorkersReachTheView) {
    constexpr int kThreads = 4;
    constexpr int kRows = 100;
    runWorkers(kThreads, [&](int t) {
        for (int i = 0; i < kRows; ++i) {
            const Text name = std::to_string(t) + "-" + std::to_string(i);
            ImageRecord row;
            row.saveName = name;
            row.address = "http://a/" + name;
            const RowId id = port->pictureList().append({row});
            port->pictureList().setCell(id, ctl::kColState, name + "/OK");
        }
    });
    PictureListModel& model = listModel();
    EXPECT_TRUE(QTest::qWaitFor([&] { return model.rowCount() == kThreads * kRows; }, 20000));
    // Every row as written, states included, once the last batch is in.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            for (int row = 0; row < model.rowCount(); ++row) {
                if (model.cell(row, ctl::kColState) != model.cell(row, 0) + "/OK") return false;
            }
            return true;
        },
        20000));
    std::map<Text, int> seen;
    for (int row = 0; row < model.rowCount(); ++row) ++seen[model.cell(row, 0)];
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kRows));
}

TEST_F(CrossThreadTest, ReadsAndStatesFromWorkers) {
    port->setText(ctl::kKeyword, Gbk("美少女"));
    control<QLineEdit>(ctl::kPictureName)->setText(QString::fromUtf8("\xF0\x9F\x98\x80"));
    runWorkers(4, [&](int t) {
        for (int i = 0; i < 50; ++i) {
            EXPECT_EQ(port->text(ctl::kKeyword), Gbk("美少女"));
            EXPECT_EQ(port->charactersWithoutGbk(ctl::kPictureName), U"\U0001F600");
            EXPECT_EQ(port->text(ctl::kThreadCount), "1");
            EXPECT_TRUE(port->isChecked(ctl::kFullSizeRadio));
            port->setProgressMaximum(ctl::kProgress, 1000);
            port->setProgressPosition(ctl::kProgress, t * 50 + i);
            EXPECT_EQ(port->selectedIndex(ctl::kDepth), -1);
        }
    });
    port->applyHandedOver();
    EXPECT_EQ(controls().progressMaximum(ctl::kProgress), 1000);
}

TEST_F(CrossThreadTest, WindowThreadCallsRunAtOnce) {
    // On the window thread nothing is queued, so this cannot wait on itself.
    port->setText(ctl::kLog, Text{});
    port->appendText(ctl::kLog, "direct\r\n");
    bool ran = false;
    port->runOnWindowThread([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_EQ(port->text(ctl::kLog), "direct\r\n");
}

TEST_F(CrossThreadTest, PictureFromWorkerIsShown) {
    const Bytes bytes = Png(QSize(40, 30));
    runWorkers(1, [&](int) { port->setPicture(ctl::kPictureBox, bytes); });
    auto* box = control<PictureBox>(ctl::kPictureBox);
    EXPECT_TRUE(QTest::qWaitFor([&] { return box->image().size() == QSize(40, 30); }, 5000));
}

// Runs `body` on a worker while the window thread does not serve its event
// loop at all; true if the worker finished all the same.
bool FinishesWithoutWindow(const std::function<void()>& body) {
    std::promise<void> promise;
    std::future<void> finished = promise.get_future();
    std::thread worker([&] {
        body();
        promise.set_value();
    });
    const bool done = finished.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    if (!done) {
        // A worker stuck waiting for the window: serve it, so the test fails
        // rather than hangs.
        (void)QTest::qWaitFor(
            [&] { return finished.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            60000);
    }
    worker.join();
    return done;
}

TEST_F(CrossThreadTest, WritesFromWorkersDoNotWaitAndLandInOrder) {
    port->setText(ctl::kLog, Text{});
    const Bytes picture = Png(QSize(8, 6));
    // Appends as the log would take them one by one, a character split
    // across two of them included.
    const std::vector<Text> appends = {"one\r\n", "two\r", "\nthree ", "\x81", "\x40\r\n"};
    std::atomic<bool> ranOnWindowThread{false};
    Text keywordSeenByWork;
    int positionSeenByWork = -1;
    CrossThreadPort* window = port.get();
    QThread* windowThread = QThread::currentThread();

    ASSERT_TRUE(FinishesWithoutWindow([&] {
        window->setText(ctl::kKeyword, "a");
        window->appendText(ctl::kKeyword, "b");
        for (const Text& text : appends) window->appendText(ctl::kLog, text);
        window->setProgressMaximum(ctl::kProgress, 200);
        window->setProgressPosition(ctl::kProgress, 150);  // above the old maximum
        window->setEnabled(ctl::kHarvestButton, false);
        window->setChecked(ctl::kAutoPreview, true);
        window->setTimerInterval(ctl::kPreviewTimer, 60000);
        window->setFocus(ctl::kKeyword);
        window->setPicture(ctl::kPictureBox, picture);
        window->runOnWindowThread([&, window] {
            ranOnWindowThread = QThread::currentThread() == windowThread;
            keywordSeenByWork = window->text(ctl::kKeyword);
            positionSeenByWork = controls().progressPosition(ctl::kProgress);
        });
        window->setProgressPosition(ctl::kProgress, 20);  // after the work, not before
    }));

    EXPECT_TRUE(QTest::qWaitFor([&] { return ranOnWindowThread.load(); }, 5000));
    EXPECT_EQ(keywordSeenByWork, "ab");
    EXPECT_EQ(positionSeenByWork, 150);
    EXPECT_EQ(controls().text(ctl::kKeyword), "ab");
    EXPECT_EQ(controls().text(ctl::kLog), "one\r\ntwo\r\nthree \x81\x40\r\n");
    EXPECT_EQ(controls().progressPosition(ctl::kProgress), 20);
    EXPECT_FALSE(controls().isEnabled(ctl::kHarvestButton));
    EXPECT_TRUE(controls().isChecked(ctl::kAutoPreview));
    EXPECT_EQ(controls().timerInterval(ctl::kPreviewTimer), 60000);
    EXPECT_EQ(control<PictureBox>(ctl::kPictureBox)->image().size(), QSize(8, 6));
    // The log shows what it would after the same appends one at a time.
    LogBox separate;
    separate.setGbkText(Text{});
    for (const Text& text : appends) separate.appendGbk(text);
    EXPECT_EQ(control<LogBox>(ctl::kLog)->toPlainText(), separate.toPlainText());
}

TEST_F(CrossThreadTest, WindowThreadCallLandsAfterWhatWorkersHandedOver) {
    port->setText(ctl::kLog, Text{});
    ASSERT_TRUE(FinishesWithoutWindow([&] {
        port->appendText(ctl::kLog, "worker\r\n");
        port->setText(ctl::kKeyword, "worker");
    }));
    port->appendText(ctl::kLog, "window\r\n");
    port->setText(ctl::kKeyword, "window");
    EXPECT_EQ(controls().text(ctl::kLog), "worker\r\nwindow\r\n");
    QTest::qWait(3 * BatchTimer::kIntervalMs);  // no later batch undoes it
    EXPECT_EQ(controls().text(ctl::kKeyword), "window");
    EXPECT_EQ(controls().text(ctl::kLog), "worker\r\nwindow\r\n");
}

TEST_F(CrossThreadTest, MessageBoxFromWorkerHoldsCallerUntilClosed) {
    std::atomic<bool> returned{false};
    bool shown = false;
    bool heldWhileOpen = false;
    QString text, caption;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QWidget* owner = window.get();
    qsizetype buttons = 0;
    // The box runs its own loop inside the queued call, so it is inspected
    // and closed from a timer that fires in that loop.
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || shown) return;
        shown = true;
        text = box->text();
        caption = box->windowTitle();
        icon = box->icon();
        owner = box->parentWidget();
        buttons = box->buttons().size();
        QTest::qWait(50);
        heldWhileOpen = !returned;
        box->button(QMessageBox::Ok)->click();
    });
    closer.start(10);
    std::thread worker([&] {
        port->messageBox(Gbk("请先输入图片名称"), Gbk("信息："), MessageIcon::Information);
        returned = true;
    });
    const bool ended = QTest::qWaitFor([&] { return returned.load(); }, 30000);
    if (!ended) {
        // Unblock the worker so the test fails rather than hangs.
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(top)) box->reject();
        }
        (void)QTest::qWaitFor([&] { return returned.load(); }, 5000);
    }
    worker.join();
    ASSERT_TRUE(ended);
    ASSERT_TRUE(shown);
    EXPECT_TRUE(heldWhileOpen);
    EXPECT_EQ(text, QString::fromUtf8("请先输入图片名称"));
    EXPECT_EQ(caption, QString::fromUtf8("信息："));
    EXPECT_EQ(icon, QMessageBox::Information);
    EXPECT_EQ(owner, nullptr);
    EXPECT_EQ(buttons, 1);
}

}  // namespace
}  // namespace lumigrab::ui::testing
