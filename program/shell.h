#pragma once
// Process-level pieces of the window program: the look shared by every
// window, the way the process ends, and closing on a termination signal.
#include <QObject>
#include <functional>

class QApplication;
class QSocketNotifier;

namespace lumigrab::ui {

// The font with Chinese glyphs first, the Fusion style, stock palette.
void PrepareApplication(QApplication& app);

// Ends the process with `code` at once: output flushed, no static
// destructors, no waiting for threads still blocked in a window call.
[[noreturn]] void FinishProcess(int code);

// Turns SIGTERM, SIGINT and SIGHUP into `onSignal` on the window thread, so a
// session logout or a terminal's Ctrl+C closes the window the ordinary way.
class SignalCloser : public QObject {
public:
    explicit SignalCloser(std::function<void()> onSignal);
    ~SignalCloser() override;
    SignalCloser(const SignalCloser&) = delete;
    SignalCloser& operator=(const SignalCloser&) = delete;

private:
    std::function<void()> onSignal_;
    int readEnd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace lumigrab::ui
