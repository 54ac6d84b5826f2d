#include "preview/preview.h"

#include <algorithm>
#include <chrono>
#include <random>

#include "port/controls.h"
#include "port/log.h"
#include "net/http_request.h"
#include "text/encoding.h"

namespace lumigrab {
namespace {

enum class Direction { Next, Previous };

void Step(WindowPort& window, PreviewState& state, Direction direction) {
    PictureList& list = window.pictureList();
    const int rows = list.size();
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
    // The list may have shrunk since it was counted; a row gone meanwhile
    // shows as an empty picture.
    const auto row = list.at(position);
    const Text address = row ? row->second.thumbnail : Text();

    // This step supersedes any earlier one still fetching.
    state.stepFetch.stop();
    const std::uint64_t step = state.newestStep->fetch_add(1) + 1;
    if (address.empty()) {
        window.setPicture(ctl::kPictureBox, Bytes{});
        return;
    }
    state.stepFetch = WorkerGang(state.steps);
    auto newest = state.newestStep;
    const std::atomic<bool>* cancel = state.stepFetch.cancelFlag();
    const auto started = state.stepFetch.startIfFree(1, [&window, newest, step, address, cancel] {
        HttpOptions options;
        options.cancel = cancel;
        Bytes picture = HttpRequest(address, options);
        // Checked and shown in one window step, so a newer step that starts
        // meanwhile cannot be overwritten by this older picture.
        window.runOnWindowThread([&window, newest, step, picture = std::move(picture)] {
            if (newest->load() == step) window.setPicture(ctl::kPictureBox, picture);
        });
    });
    // Without a thread the picture cannot arrive; show that it did not.
    if (started != WorkerGang::Start::Started) window.setPicture(ctl::kPictureBox, Bytes{});
}

}  // namespace

void ShowNextPicture(WindowPort& window, PreviewState& state) {
    Step(window, state, Direction::Next);
}

void ShowPreviousPicture(WindowPort& window, PreviewState& state) {
    Step(window, state, Direction::Previous);
}

void ToggleAutoPreview(WindowPort& window, PreviewState& state) {
    // The box still shows its state from before this click.
    if (window.isChecked(ctl::kAutoPreview)) {
        window.setTimerInterval(ctl::kPreviewTimer, 0);
        EndAutoPreview(state);
        AppendLog(window, Gbk("自动预览已关闭"));
    } else {
        window.setTimerInterval(ctl::kPreviewTimer, 5000);
        AppendLog(window, Gbk("已开启自动预览"));
    }
}

void AutoPreviewTick(WindowPort& window, PreviewState& state) {
    auto& inFlight = state.autoFetches;
    // A finished fetch no longer counts, though its picture may still be on
    // its way to the window.
    std::erase_if(inFlight, [](const WorkerGang& fetch) { return fetch.running() == 0; });
    while (inFlight.size() >= kAutoPreviewFetches) {
        inFlight.front().stop();
        inFlight.pop_front();
    }
    WorkerGang fetch(state.steps);
    // A refused thread only means this tick shows nothing new.
    if (fetch.startIfFree(1, [&window, fetch] { AutoPreviewStep(window, &fetch); }) ==
        WorkerGang::Start::Started)
        inFlight.push_back(fetch);
}

void EndAutoPreview(PreviewState& state) {
    for (WorkerGang& fetch : state.autoFetches) fetch.stop();
    state.autoFetches.clear();
}

void AutoPreviewStep(WindowPort& window, const WorkerGang* fetch) {
    // Steps started in the same millisecond must not all pick the same row.
    std::random_device device;
    std::seed_seq seed{device(), device(),
                       static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count())};
    std::mt19937 random(seed);

    PictureList& list = window.pictureList();
    const int rows = list.size();
    Bytes picture;
    if (rows > 0) {
        // A row gone since the count (the list shrank) shows as an empty picture.
        const auto row = list.at(std::uniform_int_distribution<int>(0, rows - 1)(random));
        const Text address = row ? row->second.thumbnail : Text();
        HttpOptions options;
        options.cancel = fetch != nullptr ? fetch->cancelFlag() : nullptr;
        if (!address.empty()) picture = HttpRequest(address, options);
    }
    if (fetch == nullptr) {
        window.setPicture(ctl::kPictureBox, picture);
        return;
    }
    // Whatever ends a step (a newer tick, switching off, Stop, a new harvest)
    // does so on the window thread, so checked there an ended step can never
    // show, not even the empty body its cut transfer left.
    window.runOnWindowThread([&window, fetch = *fetch, picture = std::move(picture)] {
        if (!fetch.stopped()) window.setPicture(ctl::kPictureBox, picture);
    });
}

}  // namespace lumigrab
