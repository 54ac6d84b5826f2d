// The window thread's busy share: time spent handling events counts, time
// spent waiting for them does not.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "window/busy_meter.h"

namespace lumigrab::ui::testing {
namespace {

using namespace std::chrono_literals;

TEST(BusyMeter, CountsHandlingButNotWaiting) {
    BusyMeter meter;
    QEventLoop loop;
    // 300 ms of handling, then 600 ms of waiting.
    QTimer::singleShot(0, &loop, [] { std::this_thread::sleep_for(300ms); });
    QTimer::singleShot(900, &loop, &QEventLoop::quit);
    loop.exec();

    EXPECT_GE(meter.busy(), 300ms);
    EXPECT_LT(meter.busy(), 600ms);  // bounds only against counting the wait
    EXPECT_GE(meter.wall(), 900ms);

    QTemporaryDir dir;
    const std::string path = dir.filePath("busy").toStdString();
    ASSERT_TRUE(meter.writeReport(path));
    std::ifstream report(path);
    std::string word;
    double share = -1, busyMs = -1, wallMs = -1, slicesMs = 0;
    report >> word >> share >> word >> busyMs >> word >> wallMs;
    long long start = 0, previous = 0;
    int slices = 0;
    for (double ms; report >> word >> start >> ms; ++slices) {
        EXPECT_EQ(word, "slice");
        if (slices > 0) {
            EXPECT_EQ(start - previous, BusyMeter::kSlice.count());
        }
        previous = start;
        slicesMs += ms;
    }
    EXPECT_NEAR(share, busyMs / wallMs, 0.001);
    EXPECT_GE(busyMs, 300);
    EXPECT_NEAR(slicesMs, busyMs, 1.0);
    EXPECT_GE(slices, 9);  // the report covers the whole span in slices
}

}  // namespace
}  // namespace lumigrab::ui::testing
