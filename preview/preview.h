#pragma once
// Showing the thumbnails of listed rows in the picture box: stepped by the
// previous/next buttons, or a random row at every tick of the preview timer.
#include "app/window_port.h"
#include "app/detached_threads.h"

namespace lumigrab {

struct PreviewState {
    // Row last shown by the stepping buttons; only they change it.
    int previewPosition = 0;
    // The automatic steps' threads, for whoever needs to wait until they end.
    DetachedThreads steps;
};

// Click on 按钮_下一张 / 按钮_上一张. They run on the window thread and fetch
// there, so the window waits for the fetch. A position past the end of a list
// that has become shorter counts as just past its last row: the next row is
// then the first and the previous one the last.
void ShowNextPicture(WindowPort& window, PreviewState& state);
void ShowPreviousPicture(WindowPort& window, PreviewState& state);

// Left button released over 选择框1, before the box changes its mark.
void ToggleAutoPreview(WindowPort& window);

// Tick of 时钟1: starts a detached thread running AutoPreviewStep.
void AutoPreviewTick(WindowPort& window, PreviewState& state);

// Shows the thumbnail of a randomly chosen row; clears the picture when the
// list is empty.
void AutoPreviewStep(WindowPort& window);

}  // namespace lumigrab
