#pragma once
// One download run, shared by its controller thread and its workers. It lives
// as long as the last thread that holds it, so its lock and counters stay
// valid however the run ends.
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>

#include "app/program_info.h"
#include "app/window_port.h"
#include "app/detached_threads.h"

namespace lumigrab {

struct DownloadRun {
    DownloadRun(WindowPort& window, ProgramInfo program, std::chrono::milliseconds pollInterval,
                std::function<bool(int)> allowThreadStart, DetachedThreads threads)
        : window(window),
          program(std::move(program)),
          pollInterval(pollInterval),
          allowThreadStart(std::move(allowThreadStart)),
          threads(std::move(threads)) {}

    WindowPort& window;
    const ProgramInfo program;
    const std::chrono::milliseconds pollInterval;
    const std::function<bool(int)> allowThreadStart;
    DetachedThreads threads;

    // Set by the controller before its first worker starts, read-only after.
    std::filesystem::path saveFolder;

    // Guards everything below. Held only for counter updates, flag changes and
    // the creation of a worker thread, never while waiting for the window, so
    // the window thread may take it too.
    std::mutex downloadLock;
    std::condition_variable wake;  // a stop request ends the controller's wait at once
    bool stopped = false;          // Stop, or a newer run, has taken over
    bool ended = false;            // the final message was written (or the list was empty)
    int activeWorkers = 0;         // started and not yet finished
    int rows = 0;                  // rows of this run, read once at its start
    int completed = 0;             // rows finished, failed ones included

    bool isStopped() {
        std::lock_guard lock(downloadLock);
        return stopped;
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
