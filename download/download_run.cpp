#include "download/download_run.h"

#include <chrono>
#include <string>

#include "port/controls.h"
#include "port/log.h"
#include "download/save_folder.h"
#include "download/picture_fetch.h"
#include "text/encoding.h"

namespace lumigrab {
namespace {

// What a worker read from its row, so that it can tell later whether the row
// is still the one it downloaded.
struct RowIdentity {
    bool stopped = false;  // the run was stopped before the row was read
    Text saveName;
    int urlColumn = ctl::kColAddress;
    Text url;
};

enum class Outcome { Saved, Failed, WriteFailed };

RowIdentity ReadRow(DownloadRun& run, int rowIndex) {
    RowIdentity id;
    WindowPort& window = run.window;
    window.runOnWindowThread([&] {
        if (run.isStopped()) {
            id.stopped = true;
            return;
        }
        id.saveName = window.cell(ctl::kResultList, rowIndex, ctl::kColSaveName);
        // Read per row, so a change during a run applies to rows not yet started.
        id.urlColumn = window.isChecked(ctl::kFullSizeRadio) ? ctl::kColAddress : ctl::kColThumbnail;
        id.url = window.cell(ctl::kResultList, rowIndex, id.urlColumn);
    });
    return id;
}

bool RowStillHolds(WindowPort& window, int rowIndex, const RowIdentity& id) {
    return !id.stopped && rowIndex < window.rowCount(ctl::kResultList) &&
           window.cell(ctl::kResultList, rowIndex, ctl::kColSaveName) == id.saveName &&
           window.cell(ctl::kResultList, rowIndex, id.urlColumn) == id.url;
}

// The row's completion as one window step, so that the count, the bar, the
// log lines and the end of the run cannot interleave with another worker's
// or with Stop.
void FinishRow(DownloadRun& run, int rowIndex, const RowIdentity& id, Outcome outcome,
               const std::filesystem::path& path) {
    WindowPort& window = run.window;
    window.runOnWindowThread([&] {
        std::lock_guard lock(run.downloadLock);
        // A stopped run's list is gone and a later run may own the controls.
        if (run.stopped) return;
        // The list may have been emptied and refilled since the row was read.
        if (RowStillHolds(window, rowIndex, id)) {
            window.setCell(ctl::kResultList, rowIndex, ctl::kColState,
                           outcome == Outcome::Saved ? Text("OK") : Gbk("失败"));
        }
        if (outcome == Outcome::WriteFailed) {
            AppendLog(window, Gbk("文件写入失败:") + Utf8ToGbk(path.string()));
        }
        ++run.completed;
        window.setProgressPosition(ctl::kProgress, run.completed);
        AppendLog(window, Gbk("已完成第") + std::to_string(rowIndex + 1) + Gbk("张图片下载"));
        if (run.completed == run.rows) {
            ClearLog(window);
            AppendLog(window, Gbk("下载图片已全部完成***************************************"));
            window.setEnabled(ctl::kDownloadButton, true);
            run.ended = true;
        }
    });
}

}  // namespace

void DownloadWorker(const std::shared_ptr<DownloadRun>& run, int rowIndex) {
    RowIdentity id = ReadRow(*run, rowIndex);
    Outcome outcome = Outcome::Failed;
    std::filesystem::path path;
    if (!id.stopped && !id.url.empty()) {
        path = PicturePath(run->saveFolder, id.saveName);
        // Stop raises the gang's cancel flag: the transfer ends at once and a
        // stopped run keeps nothing, its rows are gone.
        const PictureFetch fetch = FetchPicture(id.url, path, run->workers.cancelFlag());
        if (fetch.state == PictureFetch::State::Saved) outcome = Outcome::Saved;
        if (fetch.state == PictureFetch::State::WriteFailed) outcome = Outcome::WriteFailed;
    }
    FinishRow(*run, rowIndex, id, outcome, path);
}

void FinishUnstartedRow(DownloadRun& run, int rowIndex) {
    FinishRow(run, rowIndex, ReadRow(run, rowIndex), Outcome::Failed, {});
}

void DownloadController(const std::shared_ptr<DownloadRun>& runPtr) {
    DownloadRun& run = *runPtr;
    WindowPort& window = run.window;

    bool stopped = false;
    int rows = 0;
    window.runOnWindowThread([&] {
        stopped = run.isStopped();
        if (!stopped) rows = window.rowCount(ctl::kResultList);
    });
    if (stopped) return;

    if (rows == 0) {
        // Shown from this thread: the start button stays disabled until it is closed.
        window.messageBox(Gbk("请先获取图片地址,然后再执行下载操作"), Gbk("信息："));
        window.runOnWindowThread([&] {
            std::lock_guard lock(run.downloadLock);
            // After a Stop the button is Stop's, and perhaps a newer run's.
            if (run.stopped) return;
            run.ended = true;
            window.setEnabled(ctl::kDownloadButton, true);
        });
        return;
    }

    int limit = 0;
    window.runOnWindowThread([&] {
        stopped = run.isStopped();
        if (stopped) return;
        window.setProgressMaximum(ctl::kProgress, rows);
        window.setProgressPosition(ctl::kProgress, 0);
        limit = TextToInteger(window.text(ctl::kThreadCount));
        AppendLog(window, Gbk("下载图片已启动"));
    });
    if (stopped) return;
    limit = WorkerLimit(limit);
    {
        std::lock_guard lock(run.downloadLock);
        run.rows = rows;
    }
    if (run.isStopped()) return;
    run.saveFolder = PrepareSaveFolder(window, run.program);

    // A run started right after a Stop waits until the stopped run's
    // transfers, cancelled already, are gone; a Stop of this run ends the wait.
    for (const WorkerGang& earlier : run.earlierWorkers) {
        while (!earlier.waitIdle(std::chrono::milliseconds(100))) {
            if (run.isStopped()) return;
        }
    }

    for (int r = 0; r < rows; ++r) {
        if (run.allowThreadStart && !run.allowThreadStart(r)) {
            if (run.isStopped()) return;
            FinishUnstartedRow(run, r);
            continue;
        }
        // Returns the moment a slot is free, or at once when Stop comes.
        switch (run.workers.startWhenFree(limit, [runPtr, r] { DownloadWorker(runPtr, r); })) {
            case WorkerGang::Start::Started:
                break;
            case WorkerGang::Start::Refused:
                FinishUnstartedRow(run, r);
                break;
            case WorkerGang::Start::Stopped:
            case WorkerGang::Start::Busy:
                return;
        }
    }
}

}  // namespace lumigrab
