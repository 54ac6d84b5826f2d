#include "preview/preview.h"

#include <algorithm>
#include <chrono>
#include <random>

#include "app/controls.h"
#include "app/log.h"
#include "net/http_request.h"
#include "text/encoding.h"

namespace lumigrab {
namespace {

enum class Direction { Next, Previous };

void Step(WindowPort& window, PreviewState& state, Direction direction) {
    int rows = window.rowCount(ctl::kResultList);
    if (rows == 0) {
        window.messageBox(Gbk("当前没有可预览的图片,请先下载"), Gbk("信息："));
        return;
    }
    int& position = state.previewPosition;
    position = std::clamp(position, 0, rows);
    if (direction == Direction::Next) {
        position = position >= rows - 1 ? 0 : position + 1;
    } else {
        position = position == 0 ? rows - 1 : position - 1;
    }
    Text address = window.cell(ctl::kResultList, position, ctl::kColThumbnail);
    window.setPicture(ctl::kPictureBox, address.empty() ? Bytes{} : HttpRequest(address));
}

}  // namespace

void ShowNextPicture(WindowPort& window, PreviewState& state) {
    Step(window, state, Direction::Next);
}

void ShowPreviousPicture(WindowPort& window, PreviewState& state) {
    Step(window, state, Direction::Previous);
}

void ToggleAutoPreview(WindowPort& window) {
    // The box still shows its state from before this click.
    if (window.isChecked(ctl::kAutoPreview)) {
        window.setTimerInterval(ctl::kPreviewTimer, 0);
        AppendLog(window, Gbk("自动预览已关闭"));
    } else {
        window.setTimerInterval(ctl::kPreviewTimer, 5000);
        AppendLog(window, Gbk("已开启自动预览"));
    }
}

void AutoPreviewTick(WindowPort& window, PreviewState& state) {
    // A refused thread only means this tick shows nothing new.
    state.steps.start([&window] { AutoPreviewStep(window); });
}

void AutoPreviewStep(WindowPort& window) {
    // Steps started in the same millisecond must not all pick the same row.
    std::random_device device;
    std::seed_seq seed{device(), device(),
                       static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count())};
    std::mt19937 random(seed);

    int rows = 0;
    Text address;
    // Count and read in one step, so the list cannot shrink in between.
    window.runOnWindowThread([&] {
        rows = window.rowCount(ctl::kResultList);
        if (rows == 0) return;
        int row = std::uniform_int_distribution<int>(0, rows - 1)(random);
        address = window.cell(ctl::kResultList, row, ctl::kColThumbnail);
    });
    if (rows == 0) {
        window.setPicture(ctl::kPictureBox, Bytes{});
        return;
    }
    window.setPicture(ctl::kPictureBox, address.empty() ? Bytes{} : HttpRequest(address));
}

}  // namespace lumigrab
