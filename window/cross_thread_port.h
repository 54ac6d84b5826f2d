#pragma once
// The window as the core sees it: any operation, from any thread. On the
// window thread it runs at once; from another thread it is carried out on the
// window thread while the caller waits. This is the only place where a thread
// waits for the window thread, and the window thread never waits here.
//
// After the window thread's event loop has ended for good, callers from other
// threads wait until the process ends; the program ends the process straight
// after the loop, so nobody waits long.
#include <QObject>
#include <QThread>
#include <type_traits>

#include "window/window_controls.h"

namespace lumigrab::ui {

class CrossThreadPort : public WindowPort {
public:
    // `controls` and `context` belong to the window thread and must outlive
    // every call made through this port.
    CrossThreadPort(WindowControls& controls, QObject* context)
        : controls_(controls), context_(context) {}

    Text text(std::string_view control) override;
    void setText(std::string_view control, const Text& value) override;
    void appendText(std::string_view control, const Text& value) override;
    void setFocus(std::string_view control) override;
    std::u32string charactersWithoutGbk(std::string_view control) override;
    int selectedIndex(std::string_view control) override;
    bool isChecked(std::string_view control) override;
    void setChecked(std::string_view control, bool checked) override;
    void setEnabled(std::string_view control, bool enabled) override;
    bool isEnabled(std::string_view control) override;
    void setTimerInterval(std::string_view control, int milliseconds) override;
    int timerInterval(std::string_view control) override;
    int progressMaximum(std::string_view control) override;
    void setProgressMaximum(std::string_view control, int value) override;
    int progressPosition(std::string_view control) override;
    void setProgressPosition(std::string_view control, int value) override;
    void setPicture(std::string_view control, const Bytes& picture) override;
    int rowCount(std::string_view control) override;
    void insertRow(std::string_view control, int row, const Text& caption) override;
    void setCell(std::string_view control, int row, int column, const Text& value) override;
    Text cell(std::string_view control, int row, int column) override;
    void clearRows(std::string_view control) override;
    void messageBox(const Text& message, const Text& caption, MessageIcon icon) override;
    void runOnWindowThread(const std::function<void()>& work) override;

private:
    // Runs `op` on the window thread and hands back its result. If the window
    // goes away before the queued call runs, Qt releases the caller and the
    // result is the type's empty value.
    template <typename Op>
    auto onWindowThread(Op&& op) -> std::invoke_result_t<Op&> {
        using Result = std::invoke_result_t<Op&>;
        if (QThread::currentThread() == context_->thread()) return op();
        if constexpr (std::is_void_v<Result>) {
            QMetaObject::invokeMethod(context_, op, Qt::BlockingQueuedConnection);
        } else {
            Result result{};
            QMetaObject::invokeMethod(
                context_, [&] { result = op(); }, Qt::BlockingQueuedConnection);
            return result;
        }
    }

    WindowControls& controls_;
    QObject* context_;
};

}  // namespace lumigrab::ui
