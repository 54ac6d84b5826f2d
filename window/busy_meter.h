#pragma once
// How busy the window thread is: the wall time less the time its event loop
// spent blocked waiting for something to do (from the loop's "about to block"
// to its "awake" or the first event handled after it, whichever comes first).
//
// Off unless the environment variable LUMIGRAB_BUSY_REPORT names a file; then
// the program writes a report there when it ends:
//   busy_share <busy / wall>
//   busy_ms <ms>
//   wall_ms <ms>
//   slice <start> <busy ms>     one line per 100 ms of the monotonic clock
//                               (steady_clock, in ms), from the start on
// so a benchmark can take the share over the span it cares about.
#include <QObject>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace lumigrab::ui {

class BusyMeter : public QObject {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kSlice{100};

    // Measures the calling thread's event loop from now on.
    explicit BusyMeter(QObject* parent = nullptr);

    Clock::duration busy() const;
    Clock::duration wall() const;
    // Writes the report above; false if the file could not be written.
    bool writeReport(const std::string& path);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void wake();
    void addBusy(Clock::time_point from, Clock::time_point to);

    Clock::time_point start_;
    Clock::time_point awakeSince_;
    bool blocked_ = false;
    Clock::duration busy_{};
    long long firstSlice_;  // index of the slice start_ falls in
    std::vector<Clock::duration> slices_;
};

// The meter the environment asks for (see above) with the file to write, or
// none.
struct BusyReport {
    std::unique_ptr<BusyMeter> meter;
    std::string path;
    void write() const {
        if (meter) meter->writeReport(path);
    }
};
BusyReport BusyReportFromEnvironment();

}  // namespace lumigrab::ui
