#pragma once
// Showing the thumbnails of listed rows in the picture box: stepped by the
// previous/next buttons, or a random row at every tick of the preview timer.
// No fetch ever runs on the window thread: the picture is shown when it
// arrives.
#include <atomic>
#include <cstdint>
#include <memory>

#include "workers/detached_threads.h"
#include "port/window_port.h"
#include "workers/worker_gang.h"

namespace lumigrab {

struct PreviewState {
    // Row last shown by the stepping buttons; only they change it.
    int previewPosition = 0;
    // Every preview thread, for whoever needs to wait until they all end.
    DetachedThreads steps;
    // The fetch of the newest button step. A newer step stops it (its
    // transfer ends) and only the newest step's picture is ever shown.
    WorkerGang stepFetch{steps};
    std::shared_ptr<std::atomic<std::uint64_t>> newestStep =
        std::make_shared<std::atomic<std::uint64_t>>(0);
    // The automatic preview's fetch: one at a time, so a slow host cannot
    // pile up a thread per tick; each tick supersedes the one before.
    WorkerGang autoFetch{steps};
};

// Click on 按钮_下一张 / 按钮_上一张. The row is chosen at once on the window
// thread; its thumbnail is fetched on a worker and shown when it arrives,
// unless a newer step came first. A position past the end of a list that has
// become shorter counts as just past its last row: the next row is then the
// first and the previous one the last.
void ShowNextPicture(WindowPort& window, PreviewState& state);
void ShowPreviousPicture(WindowPort& window, PreviewState& state);

// Left button released over 选择框1, before the box changes its mark.
void ToggleAutoPreview(WindowPort& window);

// Tick of 时钟1: runs AutoPreviewStep on a worker; a previous tick's step
// still fetching is stopped and shows nothing.
void AutoPreviewTick(WindowPort& window, PreviewState& state);

// Shows the thumbnail of a randomly chosen row; clears the picture when the
// list is empty. `cancel` (may be null) ends its fetch early, and then
// nothing is shown.
void AutoPreviewStep(WindowPort& window, const std::atomic<bool>* cancel = nullptr);

}  // namespace lumigrab
