#include "window/busy_meter.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>
#include <cstdio>
#include <cstdlib>

namespace lumigrab::ui {

namespace {

long long SliceOf(BusyMeter::Clock::time_point at) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()) /
           BusyMeter::kSlice;
}

double Milliseconds(BusyMeter::Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

BusyMeter::BusyMeter(QObject* parent)
    : QObject(parent), start_(Clock::now()), awakeSince_(start_), firstSlice_(SliceOf(start_)) {
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(QThread::currentThread());
    if (!dispatcher) return;
    // Direct connections: the signals come on this thread, around each wait.
    connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] {
        if (blocked_) return;
        blocked_ = true;
        addBusy(awakeSince_, Clock::now());
    }, Qt::DirectConnection);
    connect(dispatcher, &QAbstractEventDispatcher::awake, this, [this] { wake(); },
            Qt::DirectConnection);
    // The glib loop says "about to block" before each pass but not "awake"
    // after the wait within it: the first event handled after the wait ends it.
    if (QCoreApplication* application = QCoreApplication::instance()) {
        if (application->thread() == thread()) application->installEventFilter(this);
    }
}

bool BusyMeter::eventFilter(QObject*, QEvent*) {
    wake();
    return false;
}

void BusyMeter::wake() {
    if (!blocked_) return;
    blocked_ = false;
    awakeSince_ = Clock::now();
}

void BusyMeter::addBusy(Clock::time_point from, Clock::time_point to) {
    if (to <= from) return;
    busy_ += to - from;
    // Split the span over the slices it covers.
    while (from < to) {
        const long long slice = SliceOf(from);
        const Clock::time_point sliceEnd{std::chrono::duration_cast<Clock::duration>(kSlice * (slice + 1))};
        const Clock::time_point until = std::min(to, sliceEnd);
        const auto at = static_cast<std::size_t>(slice - firstSlice_);
        if (slices_.size() <= at) slices_.resize(at + 1);
        slices_[at] += until - from;
        from = until;
    }
}

BusyMeter::Clock::duration BusyMeter::busy() const {
    return blocked_ ? busy_ : busy_ + (Clock::now() - awakeSince_);
}

BusyMeter::Clock::duration BusyMeter::wall() const { return Clock::now() - start_; }

bool BusyMeter::writeReport(const std::string& path) {
    // The report is written by the measured thread itself: up to now it is busy.
    if (!blocked_) {
        const Clock::time_point now = Clock::now();
        addBusy(awakeSince_, now);
        awakeSince_ = now;
    }
    const Clock::duration busyNow = busy_;
    const Clock::duration wallNow = wall();
    std::FILE* out = std::fopen(path.c_str(), "w");
    if (!out) return false;
    const double wallMs = Milliseconds(wallNow);
    std::fprintf(out, "busy_share %.4f\nbusy_ms %.1f\nwall_ms %.1f\n",
                 wallMs > 0 ? Milliseconds(busyNow) / wallMs : 0.0, Milliseconds(busyNow), wallMs);
    for (std::size_t i = 0; i < slices_.size(); ++i) {
        std::fprintf(out, "slice %lld %.1f\n",
                     static_cast<long long>((firstSlice_ + static_cast<long long>(i)) * kSlice.count()),
                     Milliseconds(slices_[i]));
    }
    return std::fclose(out) == 0;
}

BusyReport BusyReportFromEnvironment() {
    const char* path = std::getenv("LUMIGRAB_BUSY_REPORT");
    if (!path || !*path) return {};
    return {std::make_unique<BusyMeter>(), path};
}

}  // namespace lumigrab::ui
