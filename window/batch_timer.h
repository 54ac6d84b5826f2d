#pragma once
// One flush on the window thread at most every kIntervalMs, however many
// threads ask for it. Workers hand the window many small changes; applying
// each on its own kept the window thread busy and repainting, so changes are
// gathered and applied together.
#include <QObject>
#include <QTimer>
#include <atomic>
#include <functional>

namespace lumigrab::ui {

class BatchTimer : public QObject {
    Q_OBJECT
public:
    static constexpr int kIntervalMs = 30;

    // `flush` runs on the thread this object was made on.
    explicit BatchTimer(std::function<void()> flush, QObject* parent = nullptr);

    // Any thread; never waits. The flush runs about kIntervalMs later on this
    // object's thread, unless one is already due then. Once that thread's
    // event loop has ended for good nothing runs.
    void request();

private:
    void tick();

    // Ticks every kIntervalMs while requests keep coming, so a busy run
    // wakes the window thread once per batch and workers post nothing;
    // the first tick that finds no request stops it.
    QTimer timer_;
    std::function<void()> flush_;
    std::atomic<bool> armed_{false};      // the timer runs, or its start is on the way
    std::atomic<bool> requested_{false};  // a request came since the last tick
};

}  // namespace lumigrab::ui
