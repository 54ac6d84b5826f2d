#pragma once
// Showing the thumbnails of listed rows in the picture box: stepped by the
// previous/next buttons, or a random row at every tick of the preview timer.
// No fetch ever runs on the window thread: the picture is shown when it
// arrives.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

#include "workers/detached_threads.h"
#include "port/window_port.h"
#include "workers/worker_gang.h"

namespace lumigrab {

// Automatic fetches that may be in flight at once: a tick beyond them
// abandons the oldest, so a host that never answers cannot pile up a thread
// per tick.
inline constexpr std::size_t kAutoPreviewFetches = 4;

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
    // The automatic preview's fetches in flight, oldest first, each a gang
    // of its own so that it can be abandoned alone. Ticks do not wait for
    // them: each shows its picture when it arrives, so a host slower than the
    // interval still changes the picture, in the order the pictures arrive.
    std::deque<WorkerGang> autoFetches;
};

// Click on 按钮_下一张 / 按钮_上一张. The row is chosen at once on the window
// thread; its thumbnail is fetched on a worker and shown when it arrives,
// unless a newer step came first. A position past the end of a list that has
// become shorter counts as just past its last row: the next row is then the
// first and the previous one the last.
void ShowNextPicture(WindowPort& window, PreviewState& state);
void ShowPreviousPicture(WindowPort& window, PreviewState& state);

// Left button released over 选择框1, before the box changes its mark.
// Switching the preview off ends its fetches in flight (EndAutoPreview).
void ToggleAutoPreview(WindowPort& window, PreviewState& state);

// Tick of 时钟1: runs AutoPreviewStep on a worker of its own while earlier
// steps go on fetching; with kAutoPreviewFetches already in flight the oldest
// is abandoned first.
void AutoPreviewTick(WindowPort& window, PreviewState& state);

// Ends every automatic fetch in flight: its transfer ends and it shows
// nothing. For whatever stops the preview or empties the list it shows
// from: switching it off, Stop, a new harvest, closing the window. Window
// thread only.
void EndAutoPreview(PreviewState& state);

// Shows the thumbnail of a randomly chosen row; clears the picture when the
// list is empty. A step run for `fetch` (may be null) shows its picture on
// the window thread, and nothing once that gang has been stopped; the stop
// also ends its transfer early.
void AutoPreviewStep(WindowPort& window, const WorkerGang* fetch = nullptr);

}  // namespace lumigrab
