#include "window/batch_timer.h"

namespace lumigrab::ui {

BatchTimer::BatchTimer(std::function<void()> flush, QObject* parent)
    : QObject(parent), flush_(std::move(flush)) {
    timer_.setParent(this);  // moves with this object to another thread
    timer_.setInterval(kIntervalMs);
    connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
}

void BatchTimer::request() {
    requested_.store(true);
    if (armed_.exchange(true)) return;
    // A timer may only be started on its own thread; the posted call gets
    // there without making the caller wait.
    QMetaObject::invokeMethod(this, [this] { timer_.start(); }, Qt::QueuedConnection);
}

void BatchTimer::tick() {
    if (requested_.exchange(false)) {
        flush_();
        return;
    }
    timer_.stop();
    armed_.store(false);
    // A request that came between the look above and the line before saw
    // the timer armed and posted nothing: it is this tick's to answer.
    if (requested_.load() && !armed_.exchange(true)) timer_.start();
}

}  // namespace lumigrab::ui
