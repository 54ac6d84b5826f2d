#pragma once
// The download run: the start and stop buttons of the download group. Both
// entries run on the window thread and return at once; the work happens on a
// controller thread and one worker thread per row (download_run.h).
#include <functional>
#include <memory>

#include "platform/program_info.h"
#include "port/window_port.h"
#include "workers/detached_threads.h"

namespace lumigrab {

struct DownloadRun;

// Process-wide download state. Only the window thread touches it; the threads
// of a run keep what they need in their own DownloadRun.
struct DownloadState {
    // Asked before each thread of a run is started (the worker's row index, or
    // -1 for the controller). False makes that start fail as if the system had
    // refused the thread. Empty: every start is attempted.
    std::function<bool(int rowIndex)> allowThreadStart;

    // The most recently started run; null before the first. Stop acts on it.
    std::shared_ptr<DownloadRun> currentRun;
    // Every controller and worker thread of every run, for whoever needs to
    // wait until they are all gone.
    DetachedThreads threads;
};

// Click on 按钮_下载开始: disables the button and starts the controller.
void StartDownload(WindowPort& window, DownloadState& state, const ProgramInfo& program);

// Click on 按钮_下载开始1. Succeeds while the current run has not ended (its
// controller is still starting workers, or workers are still finishing): no
// further worker starts, the list is emptied and the automatic preview is
// stopped. Once a run has ended, or was already stopped, or before any run,
// it logs "停止失败". The start button is enabled in every case.
void StopDownload(WindowPort& window, DownloadState& state);

}  // namespace lumigrab
