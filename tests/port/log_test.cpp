// Work-log lines: the stamp's exact shape, the message untouched, CR LF, and
// where AppendLog and ClearLog leave the log box.
#include <gtest/gtest.h>

#include <ctime>
#include <regex>

#include "port/controls.h"
#include "port/log.h"
#include "support/fake_window.h"
#include "text/encoding.h"

namespace lumigrab {
namespace {

std::tm At(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

struct LineCase {
    const char* what;
    std::tm time;
    Text message;
    Text line;
};

TEST(LogLine, StampMessageAndLineEnd) {
    const LineCase cases[] = {
        {"SingleDigitsPadded", At(2017, 3, 7, 9, 5, 3), "hello", "2017-03-07 09:05:03 hello\r\n"},
        {"LastSecondOfYear", At(2016, 12, 31, 23, 59, 59), "x", "2016-12-31 23:59:59 x\r\n"},
        {"MidnightHourIsZeroZero", At(2020, 1, 1, 0, 0, 0), "x", "2020-01-01 00:00:00 x\r\n"},
        {"AfternoonIs24Hour", At(2021, 10, 10, 13, 30, 0), "x", "2021-10-10 13:30:00 x\r\n"},
        {"EmptyMessage", At(2017, 3, 7, 9, 5, 3), "", "2017-03-07 09:05:03 \r\n"},
        {"SpacesKept", At(2017, 3, 7, 9, 5, 3), "  a  ", "2017-03-07 09:05:03   a  \r\n"},
        {"InnerBreaksStay", At(2017, 3, 7, 9, 5, 3), "a\r\nb", "2017-03-07 09:05:03 a\r\nb\r\n"},
        {"PercentNotFormatted", At(2017, 3, 7, 9, 5, 3), "%s%d", "2017-03-07 09:05:03 %s%d\r\n"},
        {"YearWithoutLeadingZeros", At(999, 1, 2, 3, 4, 5), "x", "999-01-02 03:04:05 x\r\n"},
        {"GbkMessage", At(2017, 3, 7, 9, 5, 3), Gbk("下载图片已启动"),
         "2017-03-07 09:05:03 " + Gbk("下载图片已启动") + "\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(FormatLogLine(c.time, c.message), c.line);
    }
}

TEST(LogLine, LongMessageIsNotCut) {
    const Text message(100000, 'm');
    const Text line = FormatLogLine(At(2017, 3, 7, 9, 5, 3), message);
    EXPECT_EQ(line.size(), 20 + message.size() + 2);
    EXPECT_EQ(line.substr(20, message.size()), message);
}

TEST(AppendLog, AddsOneStampedLineAfterWhatIsThere) {
    testing::FakeWindow window;
    const Text before = window.text(ctl::kLog);
    const std::time_t from = std::time(nullptr);
    AppendLog(window, Gbk("下载图片已启动"));
    const std::time_t to = std::time(nullptr);

    const Text log = window.text(ctl::kLog);
    ASSERT_EQ(log.compare(0, before.size(), before), 0);  // the old text stays first
    const Text line = log.substr(before.size());
    static const std::regex shape(R"(^(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d) )");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(line, m, shape)) << line;
    EXPECT_EQ(line.substr(20), Gbk("下载图片已启动") + "\r\n");

    // The stamp is the local time of the call.
    std::tm stamped = At(std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4]),
                         std::stoi(m[5]), std::stoi(m[6]));
    stamped.tm_isdst = -1;
    const std::time_t when = std::mktime(&stamped);
    EXPECT_GE(when, from - 1);
    EXPECT_LE(when, to + 1);
}

TEST(AppendLog, EmptyMessageStillStampedAndEnded) {
    testing::FakeWindow window;
    ClearLog(window);
    AppendLog(window, "");
    const Text log = window.text(ctl::kLog);
    ASSERT_EQ(log.size(), 22u);
    EXPECT_EQ(log.substr(19), " \r\n");
}

TEST(ClearLog, NextAppendIsTheWholeLog) {
    testing::FakeWindow window;
    AppendLog(window, "first");
    ClearLog(window);
    EXPECT_EQ(window.text(ctl::kLog), "");
    AppendLog(window, "second");
    const Text log = window.text(ctl::kLog);
    EXPECT_EQ(log.size(), 20u + 6 + 2);
    EXPECT_EQ(log.substr(20), "second\r\n");
}

}  // namespace
}  // namespace lumigrab
