#include "download/download.h"

#include <mutex>
#include <vector>

#include "download/batch.h"
#include "download/save_folder.h"
#include "port/controls.h"
#include "port/keyword.h"
#include "port/log.h"
#include "text/encoding.h"

namespace lumigrab {
namespace {

// A row's download state says only whether its picture is in the folder.
Text RowState(const DownloadOutcome& outcome) {
    return outcome.kind == DownloadOutcome::Kind::Saved ? Text("OK") : Gbk("失败");
}

}  // namespace

// One run. Its workers hold it through the batch's callback, so it lives as
// long as the last of them.
struct DownloadRun {
    DownloadRun(WindowPort& window, DetachedThreads threads) : window(window), workers(std::move(threads)) {}

    WindowPort& window;
    // Never more than the thread count at once; stopping it also ends the
    // transfers in flight.
    WorkerGang workers;
    // The rows of the run in list order, read once at its start.
    std::vector<RowId> rows;

    // Guards what follows. Held only for counting and for handing lines to
    // the window, which never waits.
    std::mutex lock;
    bool stopped = false;  // Stop, or a newer run, has taken over
    bool ended = false;    // the final line was written
    int completed = 0;     // rows finished, failed ones included

    // The caller holds `lock`.
    void stopLocked() {
        stopped = true;
        workers.stop();
    }

    void finished(std::size_t item, const ItemResult& result) {
        std::lock_guard guard(lock);
        // A stopped run's list is gone and a later run may own the controls.
        if (stopped) return;
        // A row that has left the list (a new harvest refilled it) is not
        // written; setCell finds it gone and leaves every other row alone.
        if (result.kind != ItemResult::Kind::Gone) {
            const DownloadOutcome outcome = result.kind == ItemResult::Kind::Fetched
                                                ? OutcomeOf(result.fetch)
                                                : DownloadOutcome::Failed(DownloadOutcome::Cause::NoAddress);
            window.pictureList().setCell(rows[item], ctl::kColState, RowState(outcome));
            // The window keeps every picture it can write; one turned down had
            // no folder to go to (see StartDownload) and failed as a write.
            if (outcome.kind == DownloadOutcome::Kind::NotKept ||
                (outcome.kind == DownloadOutcome::Kind::Failed && outcome.cause == DownloadOutcome::Cause::WriteFailed))
                AppendLog(window, Gbk("文件写入失败:") + Utf8ToGbk(result.path->string()));
        }
        ++completed;
        window.setProgressPosition(ctl::kProgress, completed);
        AppendLog(window, Gbk("已完成第") + std::to_string(item + 1) + Gbk("张图片下载"));
        if (completed == static_cast<int>(rows.size())) {
            ended = true;
            // One window step, so no other line can slip between the
            // clearing and the final line.
            window.runOnWindowThread([&w = window] {
                ClearLog(w);
                AppendLog(w, Gbk("下载图片已全部完成***************************************"));
                w.setEnabled(ctl::kDownloadButton, true);
            });
        }
    }
};

void StartDownload(WindowPort& window, DownloadState& state, const ProgramInfo& program) {
    window.setEnabled(ctl::kDownloadButton, false);
    // The button is disabled during a run, so an earlier run is normally over
    // or stopped already. If it is not, it stops here: two runs must never
    // write into the same list and progress bar.
    BatchOptions options;
    if (const auto& previous = state.currentRun) {
        std::lock_guard lock(previous->lock);
        previous->stopLocked();
    }
    // Workers of stopped runs still running; they are being cancelled. A
    // stopped gang with nobody running never runs anything again.
    if (state.currentRun) state.stoppedWorkers.push_back(state.currentRun->workers);
    std::erase_if(state.stoppedWorkers, [](const WorkerGang& gang) { return gang.running() == 0; });
    options.waitFor = state.stoppedWorkers;

    auto run = std::make_shared<DownloadRun>(window, state.threads);
    state.currentRun = run;

    const auto listed = window.pictureList().rows();
    if (listed.empty()) window.messageBox(Gbk("请先获取图片地址,然后再执行下载操作"), Gbk("信息："));
    // The folder is named after the keyword box: one read as "?" would save
    // under a name the user never typed.
    if (listed.empty() || RefuseKeywordWithoutGbk(window)) {
        run->ended = true;
        window.setEnabled(ctl::kDownloadButton, true);
        return;
    }
    window.setProgressMaximum(ctl::kProgress, static_cast<int>(listed.size()));
    window.setProgressPosition(ctl::kProgress, 0);
    options.workers = WorkerLimit(TextToInteger(window.text(ctl::kThreadCount)));
    AppendLog(window, Gbk("下载图片已启动"));
    const std::filesystem::path folder = PrepareSaveFolder(window, program, window.text(ctl::kKeyword));
    // Read once for the whole run: the radio buttons stay usable meanwhile.
    const bool fullSize = window.isChecked(ctl::kFullSizeRadio);

    std::vector<DownloadItem> items;
    items.reserve(listed.size());
    run->rows.reserve(listed.size());
    for (const auto& [id, record] : listed) {
        run->rows.push_back(id);
        items.push_back({fullSize ? record.address : record.thumbnail, PicturePath(folder, record.saveName)});
    }
    options.allowWorker = state.allowThreadStart;
    // A folder that could not be worked out is only a name: a picture written
    // under it would land in the current directory, so none is.
    if (!IsKnownPlace(folder))
        options.keep = [](const PictureFacts&) { return PictureFetch::Verdict{false, DownloadOutcome::Rule::Filtered, {}}; };

    PictureList& list = window.pictureList();
    auto batch = std::make_shared<DownloadBatch>(
        std::move(items), std::move(options),
        [run](std::size_t item, const ItemResult& result) { run->finished(item, result); },
        // A row gone before its fetch begins is not fetched at all.
        [run, &list](std::size_t item) { return list.find(run->rows[item]).has_value(); });
    if (batch->start(run->workers) == 0) {
        std::lock_guard lock(run->lock);
        run->stopLocked();
        AppendLog(window, Gbk("下载线程启动失败"));
        window.setEnabled(ctl::kDownloadButton, true);
    }
}

bool StopDownload(WindowPort& window, DownloadState& state) {
    bool stopped = false;
    if (const auto& run = state.currentRun) {
        std::lock_guard lock(run->lock);
        if (!run->stopped && !run->ended) {
            run->stopLocked();
            stopped = true;
        }
    }
    if (stopped) {
        AppendLog(window, Gbk("已停止下载"));
        window.pictureList().clear();
        window.setTimerInterval(ctl::kPreviewTimer, 0);
        AppendLog(window, Gbk("自动预览已停止"));
    } else {
        AppendLog(window, Gbk("停止失败"));
    }
    window.setEnabled(ctl::kDownloadButton, true);
    return stopped;
}

void StopDownloadForExit(DownloadState& state) {
    if (!state.currentRun) return;
    std::lock_guard lock(state.currentRun->lock);
    state.currentRun->stopLocked();
}

}  // namespace lumigrab
