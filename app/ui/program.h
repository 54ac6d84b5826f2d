#pragma once
// The program: what the process owns for its whole life, and the handlers
// the main window runs for its events.
#include <functional>
#include <utility>

#include "app/event_handlers.h"
#include "app/program_info.h"
#include "app/window_port.h"

namespace lumigrab {

class Program : public EventHandlers {
public:
    explicit Program(ProgramInfo info) : info_(std::move(info)) {}

    // The window as the core sees it, and how to bring it to the front; both
    // are set once the window exists and stay valid until the process ends.
    void attachWindow(WindowPort& window, std::function<void()> raiseWindow) {
        window_ = &window;
        raiseWindow_ = std::move(raiseWindow);
    }

    const ProgramInfo& info() const { return info_; }
    // Null until attachWindow.
    WindowPort* window() const { return window_; }
    // Restores, raises and activates the main window; window thread only.
    void raiseWindow() const {
        if (raiseWindow_) raiseWindow_();
    }

private:
    ProgramInfo info_;
    WindowPort* window_ = nullptr;
    std::function<void()> raiseWindow_;
};

}  // namespace lumigrab
