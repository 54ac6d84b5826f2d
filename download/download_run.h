#pragma once
// One download run, shared by its controller thread and its workers. It lives
// as long as the last thread that holds it, so its lock and counters stay
// valid however the run ends.
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/program_info.h"
#include "port/window_port.h"
#include "workers/worker_gang.h"

namespace lumigrab {

struct DownloadRun {
    DownloadRun(WindowPort& window, ProgramInfo program, std::function<bool(int)> allowThreadStart,
                DetachedThreads allThreads, std::vector<WorkerGang> earlierWorkers)
        : window(window),
          program(std::move(program)),
          allowThreadStart(std::move(allowThreadStart)),
          threads(allThreads),
          workers(std::move(allThreads)),
          earlierWorkers(std::move(earlierWorkers)) {}

    WindowPort& window;
    const ProgramInfo program;
    const std::function<bool(int)> allowThreadStart;
    DetachedThreads threads;  // the controller's, and through `workers` every worker's
    // The row workers: never more than the thread count at once. Stopping
    // the gang also ends their transfers in flight.
    WorkerGang workers;
    // The workers of stopped runs that were still running when this one
    // began. Their transfers are being cancelled, but until they are gone
    // this run starts none of its own, so never more than N picture transfers
    // are open across runs.
    const std::vector<WorkerGang> earlierWorkers;

    // Set by the controller before its first worker starts, read-only after.
    std::filesystem::path saveFolder;

    // Guards everything below. Held only for counter updates and flag
    // changes, never while waiting for the window or for a worker, so the
    // window thread may take it too.
    std::mutex downloadLock;
    bool stopped = false;  // Stop, or a newer run, has taken over
    bool ended = false;    // the final message was written (or the list was empty)
    int rows = 0;          // rows of this run, read once at its start
    int completed = 0;     // rows finished, failed ones included

    bool isStopped() {
        std::lock_guard lock(downloadLock);
        return stopped;
    }

    // Takes the run over from its controller and workers: no worker starts
    // after this returns and transfers in flight end. The caller holds
    // downloadLock.
    void stopLocked() {
        stopped = true;
        workers.stop();
    }
};

// Body of the controller thread: prepares the run and starts one worker per
// row, never more than the thread count at once.
void DownloadController(const std::shared_ptr<DownloadRun>& run);

// Body of a worker thread: fetches, tests and saves the picture of one row,
// then records the row as finished.
void DownloadWorker(const std::shared_ptr<DownloadRun>& run, int rowIndex);

// Finishes a row whose worker thread could not be started: "失败", counted.
void FinishUnstartedRow(DownloadRun& run, int rowIndex);

}  // namespace lumigrab
