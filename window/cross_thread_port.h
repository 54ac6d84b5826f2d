#pragma once
// The window as the core sees it: any operation, from any thread.
//
// Writes from another thread (every operation that returns nothing) are
// handed over and the caller goes on at once: workers used to spend most of
// their time queued for the window thread. The window thread applies what was
// handed over in order, in batches about BatchTimer::kIntervalMs apart, with
// nothing else happening in the window during a batch. On the window thread
// an operation first applies everything handed over so far, then runs, so it
// never lands before what a worker asked for earlier.
//
// Within a batch, writes to one control keep their order; writes to different
// controls cannot be told apart in time, since the window shows the batch as
// a whole. So a batch of many pictures costs one log insertion (appends to a
// box join) and one progress repaint (a newer position replaces the one
// before it, as a newer picture does). Nothing joins or replaces across
// runOnWindowThread work or a focus change: those may look at any control.
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
    // One handed-over operation on `control`. A write of the same `kind` to
    // the same control replaces it (appends join instead); writes without a
    // kind are kept as they are, and a barrier lets nothing before it join.
    enum class Kind { Plain, Barrier, Append, Position, Picture };
    struct HandedOver {
        Kind kind = Kind::Plain;
        std::string control;
        std::function<void()> op;  // empty for an append
        Text appended;
    };

    bool onWindowThread() const { return QThread::currentThread() == context_->thread(); }
    void handOver(HandedOver item);
    void run(HandedOver& item);

    // A write: on the window thread at once, after what was handed over;
    // elsewhere handed over.
    template <typename Op>
    void write(Kind kind, std::string_view control, Op&& op) {
        if (!onWindowThread()) {
            handOver({kind, std::string(control), std::function<void()>(std::forward<Op>(op)), {}});
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
    // Per control, where in queue_ its last write since the last barrier is.
    std::vector<std::pair<std::string, std::size_t>> lastWrite_;
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
