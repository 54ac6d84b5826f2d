#include "window/batch_timer.h"

namespace lumigrab::ui {

BatchTimer::BatchTimer(std::function<void()> flush, QObject* parent)
    : QObject(parent), flush_(std::move(flush)) {
    timer_.setParent(this);  // moves with this object to another thread
    timer_.setSingleShot(true);
    timer_.setInterval(kIntervalMs);
    connect(&timer_, &QTimer::timeout, this, [this] { flush_(); });
}

void BatchTimer::request() {
    // A timer may only be started on its own thread; the posted call gets
    // there without making the caller wait.
    QMetaObject::invokeMethod(
        this, [this] {
            if (!timer_.isActive()) timer_.start();
        },
        Qt::QueuedConnection);
}

}  // namespace lumigrab::ui
