#include "download/download.h"

#include <vector>

#include "port/controls.h"
#include "port/log.h"
#include "download/download_run.h"
#include "text/encoding.h"

namespace lumigrab {

void StartDownload(WindowPort& window, DownloadState& state, const ProgramInfo& program) {
    window.setEnabled(ctl::kDownloadButton, false);
    // The button is disabled during a run, so an earlier run is normally over
    // or stopped already. If it is not, it stops here: two runs must never
    // write into the same list and progress bar.
    std::vector<WorkerGang> earlierWorkers;
    if (const auto& previous = state.currentRun) {
        std::lock_guard lock(previous->downloadLock);
        previous->stopLocked();
        earlierWorkers = previous->earlierWorkers;
        earlierWorkers.push_back(previous->workers);
        // A stopped gang with nobody running never runs anything again.
        std::erase_if(earlierWorkers, [](const WorkerGang& gang) { return gang.running() == 0; });
    }
    auto run = std::make_shared<DownloadRun>(window, program, state.allowThreadStart, state.threads,
                                             std::move(earlierWorkers));
    state.currentRun = run;
    bool started = (!run->allowThreadStart || run->allowThreadStart(-1)) &&
                   run->threads.start([run] { DownloadController(run); });
    if (!started) {
        run->stopped = true;  // no thread shares the run yet
        AppendLog(window, Gbk("下载线程启动失败"));
        window.setEnabled(ctl::kDownloadButton, true);
    }
}

void StopDownload(WindowPort& window, DownloadState& state) {
    // One window step: a worker finishing at the same moment either completes
    // its row before the list is emptied or sees the stop and leaves it alone.
    window.runOnWindowThread([&] {
        bool stopped = false;
        if (const auto& run = state.currentRun) {
            std::lock_guard lock(run->downloadLock);
            if (!run->stopped && !run->ended) {
                run->stopLocked();
                stopped = true;
            }
        }
        if (stopped) {
            AppendLog(window, Gbk("已停止下载"));
            window.clearRows(ctl::kResultList);
            window.setTimerInterval(ctl::kPreviewTimer, 0);
            AppendLog(window, Gbk("自动预览已停止"));
        } else {
            AppendLog(window, Gbk("停止失败"));
        }
        window.setEnabled(ctl::kDownloadButton, true);
    });
}

}  // namespace lumigrab
