#pragma once
// The program: what the process owns for its whole life, and the handlers
// the main window runs for its events.
#include <chrono>
#include <functional>

#include "port/event_handlers.h"
#include "platform/program_info.h"
#include "port/window_port.h"
#include "download/download.h"
#include "harvest/harvest.h"
#include "preview/preview.h"

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
    // The result list: the core's, shown by the window.
    PictureList& pictureList() { return list_; }

    // Ends every transfer still running and waits, at most `bound`, for the
    // program's threads to be gone, so the process can end with none of them
    // in the middle of something. Window thread only.
    void endRuns(std::chrono::milliseconds bound);
    // Null until attachWindow.
    WindowPort* window() const { return window_; }
    // Restores, raises and activates the main window; window thread only.
    void raiseWindow() const {
        if (raiseWindow_) raiseWindow_();
    }

    void windowCreated() override;
    void firstActivation() override;
    void harvestClicked() override;
    void downloadClicked() override;
    void stopClicked() override;
    void previousClicked() override;
    void nextClicked() override;
    void autoPreviewReleased() override;
    void timerTick() override;

private:
    ProgramInfo info_;
    PictureList list_;
    WindowPort* window_ = nullptr;
    std::function<void()> raiseWindow_;

    // Process-wide state of the three runs. The threads a run starts hold what
    // they need themselves, so this outlives nothing they use.
    HarvestState harvest_;
    DownloadState download_;
    PreviewState preview_;
};

}  // namespace lumigrab
