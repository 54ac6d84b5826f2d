#include "port/controls.h"
#include "port/log.h"
#include "harvest/harvest.h"
#include "text/encoding.h"

namespace lumigrab {

namespace {

constexpr int kAutoPreviewInterval = 12000;

void ShowMessage(WindowPort& window, std::string_view utf8) {
    window.messageBox(Gbk(utf8), Gbk("信息："));
}

}  // namespace

std::shared_ptr<HarvestRun> HarvestState::currentRun() const {
    std::lock_guard lock(mutex_);
    return run_;
}

void HarvestState::setCurrentRun(std::shared_ptr<HarvestRun> run) {
    std::lock_guard lock(mutex_);
    run_ = std::move(run);
}

void StartHarvest(WindowPort& window, HarvestState& state) {
    // A keyword of spaces only passes: the page worker trims it before use.
    if (window.text(ctl::kKeyword).empty()) {
        ShowMessage(window, "请先输入查找关键词");
        window.setFocus(ctl::kKeyword);
        AppendLog(window, Gbk("获取失败,原因没有输入查找关键词"));
        return;
    }
    // The box reads such characters as "?": the run would search for, and
    // save under, a keyword the user never typed.
    const std::u32string unusable = window.charactersWithoutGbk(ctl::kKeyword);
    if (!unusable.empty()) {
        window.messageBox(ConcatText(Gbk("关键词中有无法使用的字符: "), CodePointNames(unusable)),
                          Gbk("信息："));
        window.setFocus(ctl::kKeyword);
        return;
    }
    if (window.selectedIndex(ctl::kDepth) == -1) {
        ShowMessage(window, "请选择下载的页数,即深度");
        return;
    }
    if (window.text(ctl::kPictureName).empty()) {
        ShowMessage(window, "请先输入图片名称");
        window.setFocus(ctl::kPictureName);
        return;
    }

    window.clearRows(ctl::kResultList);
    AppendLog(window, Gbk("图片地址采集已启动****************************"));
    window.setEnabled(ctl::kHarvestButton, false);

    auto run = std::make_shared<HarvestRun>(state.serviceOrigin, state.threads);
    state.setCurrentRun(run);
    if (!state.threads.start([&window, run] { HarvestController(window, run); })) {
        // Without its controller the run could never end; leave the button usable.
        window.setEnabled(ctl::kHarvestButton, true);
    }
    window.setEnabled(ctl::kAutoPreview, true);
}

void HarvestController(WindowPort& window, std::shared_ptr<HarvestRun> run) {
    const std::int32_t pageCount = TextToInteger(window.text(ctl::kDepth));
    const int maxPageWorkers = WorkerLimit(TextToInteger(window.text(ctl::kThreadCount)));

    // A negative depth is as meaningless as none at all.
    if (pageCount <= 0) {
        ShowMessage(window, "请选择下载的深度");
        AppendLog(window, Gbk("没有选择下载的页码,即深度"));
        window.setEnabled(ctl::kHarvestButton, true);
        return;
    }

    run->pageCount = pageCount;
    window.setProgressMaximum(ctl::kProgress, pageCount);
    window.setProgressPosition(ctl::kProgress, 0);
    if (window.isChecked(ctl::kAutoPreview))
        window.setTimerInterval(ctl::kPreviewTimer, kAutoPreviewInterval);

    for (std::int32_t page = 0; page < pageCount; ++page) {
        // Returns the moment a slot is free; a harvest has no stop.
        const auto start = run->pageWorkers.startWhenFree(
            maxPageWorkers, [&window, run, page] { HarvestPage(window, run, page); });
        // A page whose worker could not start still counts, or the run would
        // never reach its end.
        if (start != WorkerGang::Start::Started) FinishPage(window, *run);
    }
}

}  // namespace lumigrab
