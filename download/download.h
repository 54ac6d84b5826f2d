#pragma once
// The window's download: the start and stop buttons of the download group.
// Both run on the window thread and return at once. The start reads every
// box the run needs once, snapshots the listed rows and hands them to a
// download batch (download/batch.h); each finished picture writes its row's
// state into the list, a completion line into the log and a step of the bar.
// The picture that completes the run empties the log and writes the final
// line.
#include <functional>
#include <memory>
#include <vector>

#include "platform/program_info.h"
#include "port/window_port.h"
#include "workers/worker_gang.h"

namespace lumigrab {

struct DownloadRun;

// Process-wide download state; only the window thread touches it.
struct DownloadState {
    // Asked before each worker of a run is started (its number from 0).
    // False makes that start fail as if the system had refused the thread.
    // Empty: every start is attempted.
    std::function<bool(int worker)> allowThreadStart;

    // The most recently started run; null before the first. Stop acts on it.
    std::shared_ptr<DownloadRun> currentRun;
    // Workers of stopped runs that may still be running: a new run starts
    // no transfer of its own until they are gone.
    std::vector<WorkerGang> stoppedWorkers;
    // Every worker thread of every run, for whoever needs to wait until
    // they are all gone.
    DetachedThreads threads;
};

// Click on 按钮_下载开始.
void StartDownload(WindowPort& window, DownloadState& state, const ProgramInfo& program);

// Click on 按钮_下载开始1. Succeeds while the current run has not ended: no
// further picture starts, transfers in flight end and keep nothing, the list
// is emptied and the automatic preview is stopped. Once a run has ended, or
// was already stopped, or before any run, it logs "停止失败". The start
// button is enabled in every case. True when it stopped a run.
bool StopDownload(WindowPort& window, DownloadState& state);

// Ends the current run's transfers (the program is closing).
void StopDownloadForExit(DownloadState& state);

}  // namespace lumigrab
