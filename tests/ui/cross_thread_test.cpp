// The port from worker threads: every call is carried out on the window
// thread while the caller waits, so lines and rows land whole and in order.
#include <QBuffer>
#include <QEventLoop>
#include <QTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <atomic>
#include <map>
#include <thread>

#include "port/controls.h"
#include "window/cross_thread_port.h"
#include "window/widgets.h"
#include "text/encoding.h"
#include "window_fixture.h"

namespace lumigrab::ui::testing {
namespace {

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

    const Text log = port->text(ctl::kLog);
    std::map<int, int> nextIndex;
    int lines = 0;
    size_t from = 0;
    for (size_t end; (end = log.find("\r\n", from)) != Text::npos; from = end + 2) {
        const Text line = log.substr(from, end - from);
        int t = -1, i = -1;
        const size_t bodyAt = line.find(' ');
        ASSERT_NE(bodyAt, Text::npos) << line;
        ASSERT_EQ(line.substr(bodyAt + 1, body.size()), body) << line;
        t = std::stoi(line.substr(1, bodyAt - 1));
        i = std::stoi(line.substr(bodyAt + 2 + body.size()));
        EXPECT_EQ(i, nextIndex[t]++) << "thread " << t;
        ++lines;
    }
    EXPECT_EQ(from, log.size());  // nothing after the last CR LF
    EXPECT_EQ(lines, kThreads * kLines);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(nextIndex[t], kLines);
}

TEST_F(CrossThreadTest, RowsWrittenAsOneStepStayConsistent) {
    constexpr int kThreads = 4;
    constexpr int kRows = 100;
    const std::string_view list = ctl::kResultList;
    runWorkers(kThreads, [&](int t) {
        for (int i = 0; i < kRows; ++i) {
            const Text name = std::to_string(t) + "-" + std::to_string(i);
            port->runOnWindowThread([&] {
                const int row = port->rowCount(list);  // runs at once: same thread
                port->insertRow(list, row, name);
                for (int column = 1; column < 6; ++column) {
                    port->setCell(list, row, column, name + "/" + std::to_string(column));
                }
            });
            // Reads from the worker see the row it wrote.
            EXPECT_GE(port->rowCount(list), i + 1);
        }
    });
    ASSERT_EQ(port->rowCount(list), kThreads * kRows);
    std::map<std::string, int> seen;
    for (int row = 0; row < kThreads * kRows; ++row) {
        const Text name = port->cell(list, row, 0);
        ++seen[name];
        for (int column = 1; column < 6; ++column) {
            EXPECT_EQ(port->cell(list, row, column), name + "/" + std::to_string(column));
        }
    }
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
    EXPECT_EQ(port->progressMaximum(ctl::kProgress), 1000);
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
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(Qt::yellow);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(image.save(&buffer, "PNG"));
    const Bytes bytes(png.begin(), png.end());
    runWorkers(1, [&](int) { port->setPicture(ctl::kPictureBox, bytes); });
    EXPECT_EQ(control<PictureBox>(ctl::kPictureBox)->image().size(), QSize(40, 30));
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
