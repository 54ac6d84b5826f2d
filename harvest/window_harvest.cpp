#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "port/controls.h"
#include "port/keyword.h"
#include "port/log.h"
#include "harvest/harvest.h"
#include "harvest/session.h"
#include "text/encoding.h"

namespace lumigrab {
namespace {

constexpr int kAutoPreviewInterval = 12000;

void ShowMessage(WindowPort& window, std::string_view utf8) {
    window.messageBox(Gbk(utf8), Gbk("信息："));
}

// Where a session's pages go in the window: rows at the end of the list, a
// step of the bar per page, the closing lines after the last.
class ListSink : public HarvestSink {
public:
    ListSink(WindowPort& window, Text pictureName, Text letterCount)
        : window_(window), pictureName_(std::move(pictureName)), letterCount_(std::move(letterCount)) {}

    void pageStarted(std::int32_t index) override {
        // Pages are numbered from 0 in the log too.
        AppendLog(window_, ConcatText(Gbk("正在解析第"), std::to_string(index), Gbk("页数据")));
    }

    void pageRead(HarvestedPage page) override {
        // A page whose data was there but could not be taken in must not
        // pass for an empty one. The run's end empties the log, so the line
        // is written again after the closing lines.
        if (page.reading.unreadable) {
            const Text line = ConcatText(Gbk("第"), std::to_string(page.index), Gbk("页数据无法读取"));
            AppendLog(window_, line);
            unreadable_.push_back(line);
        }
        // A refusal must not pass for an empty result: it is said in the
        // service's own words.
        if (!page.refusal.empty()) {
            const Text line = ConcatText(Gbk("第"), std::to_string(page.index), Gbk("页被拒绝: "),
                                         Utf8ToGbk(page.refusal));
            AppendLog(window_, line);
            unreadable_.push_back(line);
        }
        // One block per page; the positions in the save names run on from
        // whatever the list holds, so they stay gapless whoever else appends.
        window_.pictureList().append(std::move(page.reading.records), [this](int position) {
            return ComposeSaveName(pictureName_, letterCount_, position);
        });
        // The run's own count drives the bar, not the bar's position: a
        // download started meanwhile resets the bar for itself.
        window_.setProgressPosition(ctl::kProgress, ++pagesRead_);
    }

    void finished() override {
        const Text total = ConcatText(Gbk("当前图片地址总数量"), std::to_string(window_.pictureList().size()));
        // One window step, so no other line can slip between the clearing
        // and the closing lines.
        window_.runOnWindowThread([&window = window_, total, unreadable = unreadable_] {
            ClearLog(window);
            AppendLog(window, Gbk("图片地址解析结束******************************"));
            AppendLog(window, total);
            for (const Text& line : unreadable) AppendLog(window, line);
            window.setEnabled(ctl::kHarvestButton, true);
        });
    }

private:
    WindowPort& window_;
    const Text pictureName_;
    const Text letterCount_;
    // Touched only by pageRead and finished, which never overlap.
    int pagesRead_ = 0;
    // Lines about pages that gave nothing though the service answered; the
    // run's end empties the log, so they are written again after it.
    std::vector<Text> unreadable_;
};

}  // namespace

bool StartHarvest(WindowPort& window, HarvestState& state) {
    // A keyword of spaces only passes: it is trimmed before use.
    if (window.text(ctl::kKeyword).empty()) {
        ShowMessage(window, "请先输入查找关键词");
        window.setFocus(ctl::kKeyword);
        AppendLog(window, Gbk("获取失败,原因没有输入查找关键词"));
        return false;
    }
    if (RefuseKeywordWithoutGbk(window)) return false;
    if (window.selectedIndex(ctl::kDepth) == -1) {
        ShowMessage(window, "请选择下载的页数,即深度");
        return false;
    }
    if (window.text(ctl::kPictureName).empty()) {
        ShowMessage(window, "请先输入图片名称");
        window.setFocus(ctl::kPictureName);
        return false;
    }

    window.pictureList().clear();
    AppendLog(window, Gbk("图片地址采集已启动****************************"));
    window.setEnabled(ctl::kHarvestButton, false);
    window.setEnabled(ctl::kAutoPreview, true);

    // Everything the run needs is read now, once: no worker ever asks the
    // window for anything.
    HarvestSettings settings;
    settings.serviceOrigin = state.serviceOrigin;
    settings.pages = TextToInteger(window.text(ctl::kDepth));
    settings.workers = WorkerLimit(TextToInteger(window.text(ctl::kThreadCount)));
    settings.keyword = TrimSpaces(window.text(ctl::kKeyword));
    settings.widthFilter = window.text(ctl::kWidthFilter);
    settings.heightFilter = window.text(ctl::kHeightFilter);

    // A negative depth is as meaningless as none at all.
    if (settings.pages <= 0) {
        ShowMessage(window, "请选择下载的深度");
        AppendLog(window, Gbk("没有选择下载的页码,即深度"));
        window.setEnabled(ctl::kHarvestButton, true);
        return true;
    }
    window.setProgressMaximum(ctl::kProgress, settings.pages);
    window.setProgressPosition(ctl::kProgress, 0);
    if (window.isChecked(ctl::kAutoPreview))
        window.setTimerInterval(ctl::kPreviewTimer, kAutoPreviewInterval);

    auto sink = std::make_shared<ListSink>(window, window.text(ctl::kPictureName),
                                           window.text(ctl::kLetterCount));
    auto session = std::make_shared<HarvestSession>(std::move(settings), std::move(sink));
    state.workers = WorkerGang(state.threads);
    session->start(state.workers);
    return true;
}

}  // namespace lumigrab
