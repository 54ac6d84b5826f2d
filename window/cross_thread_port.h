#pragma once
// The window as the core sees it: any operation, from any thread.
//
// Writes from another thread (every operation that returns nothing) are
// handed over and the caller goes on at once: workers used to spend most of
// their time queued for the window thread. The window thread applies what was
// handed over in order, in batches about BatchTimer::kIntervalMs apart, so a
// burst of log lines costs one insertion and one repaint. On the window thread
// an operation first applies everything handed over so far, then runs, so it
// never lands before what a worker asked for earlier.
//
// Reads and the message box from another thread wait for the window thread,
// which applies what was handed over first, so a worker reads its own writes.
// The window thread never waits here.
//
// After the window thread's event loop has ended for good, handed-over work
// is never applied and readers from other threads wait until the process
// ends; the program ends the process straight after the loop.
#include <QObject>
#include <QThread>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "window/batch_timer.h"
#include "window/window_controls.h"

namespace lumigrab::ui {

class CrossThreadPort : public WindowPort {
public:
    // `controls` and `context` belong to the window thread and must outlive
    // every call made through this port.
    CrossThreadPort(WindowControls& controls, QObject* context);
    ~CrossThreadPort() override;

    Text text(std::string_view control) override;
    void setText(std::string_view control, const Text& value) override;
    void appendText(std::string_view control, const Text& value) override;
    void setFocus(std::string_view control) override;
    std::u32string charactersWithoutGbk(std::string_view control) override;
    int selectedIndex(std::string_view control) override;
    bool isChecked(std::string_view control) override;
    void setChecked(std::string_view control, bool checked) override;
    void setEnabled(std::string_view control, bool enabled) override;
    void setTimerInterval(std::string_view control, int milliseconds) override;
    void setProgressMaximum(std::string_view control, int value) override;
    void setProgressPosition(std::string_view control, int value) override;
    void setPicture(std::string_view control, const Bytes& picture) override;
    PictureList& pictureList() override { return controls_.pictureList(); }
    void messageBox(const Text& message, const Text& caption, MessageIcon icon) override;
    void runOnWindowThread(std::function<void()> work) override;

    // Applies everything handed over so far; window thread only. The batch
    // timer calls it; a test may call it rather than wait.
    void applyHandedOver();

private:
    // One handed-over operation. Log appends are kept as text, so that
    // consecutive ones to the same box join into one insertion.
    struct HandedOver {
        std::function<void()> op;  // empty for an append
        std::string appendTo;
        Text appended;
    };

    bool onWindowThread() const { return QThread::currentThread() == context_->thread(); }
    void handOver(HandedOver item);
    void run(HandedOver& item);

    // A write: on the window thread at once, after what was handed over;
    // elsewhere handed over.
    template <typename Op>
    void write(Op&& op) {
        if (!onWindowThread()) {
            handOver({std::function<void()>(std::forward<Op>(op)), {}, {}});
            return;
        }
        if (stepDepth_ == 0) applyHandedOver();
        op();
    }

    // A read (or the message box): runs on the window thread after what was
    // handed over, the caller waiting for its result. If the window goes away
    // before the call runs, Qt releases the caller with the empty value.
    template <typename Op>
    auto read(Op&& op) -> std::invoke_result_t<Op&> {
        using Result = std::invoke_result_t<Op&>;
        if (onWindowThread()) {
            if (stepDepth_ == 0) applyHandedOver();
            return op();
        }
        if constexpr (std::is_void_v<Result>) {
            QMetaObject::invokeMethod(
                batch_.get(), [&] {
                    applyHandedOver();
                    op();
                },
                Qt::BlockingQueuedConnection);
        } else {
            Result result{};
            QMetaObject::invokeMethod(
                batch_.get(), [&] {
                    applyHandedOver();
                    result = op();
                },
                Qt::BlockingQueuedConnection);
            return result;
        }
    }

    WindowControls& controls_;
    QObject* context_;
    std::unique_ptr<BatchTimer> batch_;  // lives on the window thread

    std::mutex mutex_;
    std::vector<HandedOver> queue_;  // handed over, not yet taken
    bool flushRequested_ = false;

    // Window thread only. The batch being applied: an operation in it may
    // open a nested event loop (a message box) in which the next batch is
    // applied, which must go on from here rather than overtake it.
    std::vector<HandedOver> applying_;
    std::size_t next_ = 0;
    // Above 0 inside one step (a handed-over operation or runOnWindowThread
    // work): operations made there run at once, nothing else coming between.
    int stepDepth_ = 0;
};

}  // namespace lumigrab::ui
