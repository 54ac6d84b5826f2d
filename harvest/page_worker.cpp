#include <chrono>
#include <string>
#include <vector>

#include "port/controls.h"
#include "port/log.h"
#include "harvest/harvest.h"
#include "net/http_request.h"
#include "text/encoding.h"

namespace lumigrab {

namespace {

// How long one window step of row appending may keep the window thread.
constexpr std::chrono::milliseconds kRowStepTime{10};

// Appends the page's pictures at the end of the list; the caller holds the
// run's listLock. Rows go in whole window steps: counting the rows, inserting
// and filling the new one cannot be split by anything the window does (a Stop
// emptying the list, say), so cells never land in another row. A step takes
// as many rows as fit in kRowStepTime: one crossing to the window thread per
// row made a page of thousands take minutes, and the window must stay free
// for the user in between.
void AppendRows(WindowPort& window, const std::vector<ImageRecord>& pictures) {
    std::size_t next = 0;
    while (next < pictures.size()) {
        window.runOnWindowThread([&] {
            const auto stepEnd = std::chrono::steady_clock::now() + kRowStepTime;
            do {
                const ImageRecord& picture = pictures[next++];
                const int row = window.rowCount(ctl::kResultList);
                // Both boxes are read afresh for every row: edits during a run count.
                const Text saveName = ComposeSaveName(window.text(ctl::kPictureName),
                                                      window.text(ctl::kLetterCount), row + 1);
                window.insertRow(ctl::kResultList, row, saveName);
                window.setCell(ctl::kResultList, row, ctl::kColAddress, picture.address);
                window.setCell(ctl::kResultList, row, ctl::kColWidth, picture.width);
                window.setCell(ctl::kResultList, row, ctl::kColHeight, picture.height);
                window.setCell(ctl::kResultList, row, ctl::kColThumbnail, picture.thumbnail);
            } while (next < pictures.size() && std::chrono::steady_clock::now() < stepEnd);
        });
    }
}

}  // namespace

void HarvestPage(WindowPort& window, std::shared_ptr<HarvestRun> run, std::int32_t pageIndex) {
    const Text offset = PageOffset(pageIndex);
    // Pages are numbered from 0 in the log too.
    AppendLog(window, ConcatText(Gbk("正在解析第"), std::to_string(pageIndex), Gbk("页数据")));
    const Text keyword = TrimSpaces(window.text(ctl::kKeyword));
    const Text width = window.text(ctl::kWidthFilter);
    const Text height = window.text(ctl::kHeightFilter);
    ParseResultPage(window, *run, width, height, offset, keyword);
}

void ParseResultPage(WindowPort& window, HarvestRun& run, std::string_view width,
                     std::string_view height, std::string_view offset,
                     std::string_view keyword) {
    // Fetch, cut and parse run without any lock; only the appending is serialised.
    const Text url = BuildResultPageUrl(run.serviceOrigin, keyword, offset, width, height);
    const PictureArrayReading pictures = ReadPictureArray(CutPictureArray(HttpRequest(url)));
    // A page whose data was there but could not be taken in must not pass for
    // an empty one.
    if (pictures.unreadable) {
        const Text line = ConcatText(Gbk("第"), PageIndexOfOffset(offset), Gbk("页数据无法读取"));
        AppendLog(window, line);
        std::lock_guard lock(run.countLock);
        run.unreadablePageLines.push_back(line);
    }
    {
        std::lock_guard lock(run.listLock);
        AppendRows(window, pictures.records);
    }
    FinishPage(window, run);
}

void FinishPage(WindowPort& window, HarvestRun& run) {
    std::lock_guard lock(run.countLock);
    // The run's own count decides the end, not the bar: a download started
    // meanwhile resets the bar for itself and must not keep this run open.
    const int finished = ++run.pagesFinished;
    window.setProgressPosition(ctl::kProgress, finished);
    if (finished != run.pageCount) return;
    // One window step, so no other line can slip between the clearing and
    // the closing lines. Nothing touches the window after the button is back.
    window.runOnWindowThread([&] {
        ClearLog(window);
        AppendLog(window, Gbk("图片地址解析结束******************************"));
        AppendLog(window, ConcatText(Gbk("当前图片地址总数量"),
                                     std::to_string(window.rowCount(ctl::kResultList))));
        for (const Text& line : run.unreadablePageLines) AppendLog(window, line);
        window.setEnabled(ctl::kHarvestButton, true);
    });
}

}  // namespace lumigrab
