#include "cli/downloads.h"

#include <chrono>

#include "net/redirects.h"

namespace lumigrab::cli {
namespace {

void Settle(Entry& entry, const std::string& reason, std::uint64_t bytes, const std::string& sha256) {
    entry.bytes = bytes;
    entry.ok = reason.empty() && Sha256FromHex(sha256, entry.sha256);
    entry.reason = entry.ok || !reason.empty() ? reason : std::string("no checksum");
}

std::string_view UrlOf(const Entry& entry, bool thumbnails) {
    return thumbnails ? entry.thumbnail() : entry.address();
}

}  // namespace

namespace {

std::string FailureWords(const PictureFetch& fetch) {
    using State = PictureFetch::State;
    switch (fetch.state) {
        case State::Saved: return {};
        case State::Cancelled: return "stopped";
        case State::WriteFailed: return "write failed";
        case State::FetchFailed:
        case State::NotPicture: break;
    }
    if (fetch.failure != HttpFailure::None) return std::string(FailureText(fetch.failure));
    if (fetch.state == State::FetchFailed) return "no response";
    if (fetch.status < 200 || fetch.status > 299) return "HTTP " + std::to_string(fetch.status);
    return "not a picture";
}

}  // namespace

std::string FailureReason(const PictureFetch& fetch) {
    std::string words = FailureWords(fetch);
    if (!words.empty() && fetch.tries > 1) words += " after " + std::to_string(fetch.tries) + " tries";
    return words;
}

void Download(const std::shared_ptr<std::vector<Entry>>& entries,
              const std::vector<std::size_t>& todo, const ManifestRun& run,
              const DownloadSettings& settings, WorkerGang& gang, Console& console) {
    const bool thumbnails = settings.thumbnails;
    std::vector<DownloadItem> items;
    items.reserve(todo.size());
    for (std::size_t index : todo) {
        Entry& entry = (*entries)[index];
        // What an entry the run never reaches keeps.
        Settle(entry, "stopped", 0, {});
        items.push_back({Text(UrlOf(entry, thumbnails)), PathOf(run, entry)});
    }
    BatchOptions options;
    options.workers = settings.threads;
    options.sha256 = true;
    options.retries = settings.retries;
    options.perHost = settings.perHost;
    // Each entry is written by the one worker that finished it; waitIdle
    // below orders those writes before the caller reads them.
    auto batch = std::make_shared<DownloadBatch>(
        std::move(items), std::move(options),
        [entries, todo, run, thumbnails, &console](std::size_t item, const ItemResult& result) {
            Entry& entry = (*entries)[todo[item]];
            if (result.kind == ItemResult::Kind::NoAddress) {
                Settle(entry, "no address", 0, {});
            } else {
                Settle(entry, FailureReason(result.fetch), result.fetch.bytes, result.fetch.sha256);
            }
            console.finished(entry, PathOf(run, entry).string(), UrlOf(entry, thumbnails));
        });

    console.begin(static_cast<int>(todo.size()));
    if (!todo.empty() && batch->start(gang) == 0) {
        for (std::size_t index : todo) {
            Entry& entry = (*entries)[index];
            Settle(entry, "no thread", 0, {});
            console.finished(entry, PathOf(run, entry).string(), entry.address());
        }
    }
    while (!gang.waitIdle(std::chrono::milliseconds(500))) console.tick();
    console.end();
}

}  // namespace lumigrab::cli
