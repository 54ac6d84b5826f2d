#include "cli/downloads.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "net/redirects.h"
#include "net/retry.h"
#include "text/encoding.h"

namespace lumigrab::cli {
namespace {

void Settle(Entry& entry, const std::string& reason, std::uint64_t bytes, const std::string& sha256) {
    entry.held.clear();
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
        case State::NotKept: return fetch.notKept.reason;
        case State::FetchFailed:
        case State::NotPicture: break;
    }
    if (fetch.failure != HttpFailure::None) return std::string(FailureText(fetch.failure));
    if (fetch.state == State::FetchFailed) return "no response";
    if (fetch.status < 200 || fetch.status > 299) return "HTTP " + std::to_string(fetch.status);
    return "not a picture";
}

}  // namespace

std::string BrokenRule(const PictureRules& rules, const PictureFacts& facts) {
    const int width = facts.header.width, height = facts.header.height;
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    if (rules.minWidth > 0 && width < rules.minWidth)
        return size + " below " + std::to_string(rules.minWidth) + " wide";
    if (rules.minHeight > 0 && height < rules.minHeight)
        return size + " below " + std::to_string(rules.minHeight) + " high";
    if (!rules.types.empty() &&
        std::find(rules.types.begin(), rules.types.end(), facts.header.format) == rules.types.end()) {
        std::string allowed;
        for (PictureFormat format : rules.types) allowed += (allowed.empty() ? "" : ",") + std::string(PictureFormatName(format));
        return std::string(PictureFormatName(facts.header.format)) + " not among " + allowed;
    }
    if (rules.minBytes > 0 && facts.bytes < rules.minBytes)
        return std::to_string(facts.bytes) + " bytes below " + std::to_string(rules.minBytes);
    if (rules.maxBytes > 0 && facts.bytes > rules.maxBytes)
        return std::to_string(facts.bytes) + " bytes above " + std::to_string(rules.maxBytes);
    return {};
}

std::string FailureReason(const PictureFetch& fetch) {
    std::string words = FailureWords(fetch);
    if (const std::string wait = RefusedWaitText(fetch.retryAfter); !words.empty() && !wait.empty())
        words += ", " + wait;
    if (!words.empty() && fetch.tries > 1) words += " after " + std::to_string(fetch.tries) + " tries";
    return words;
}

bool Download(const std::shared_ptr<std::vector<Entry>>& entries,
              const std::vector<std::size_t>& todo, const ManifestRun& run,
              const DownloadSettings& settings, WorkerGang& gang, Console& console) {
    Archive* const archive = settings.archive;
    auto recorded = std::make_shared<std::atomic<bool>>(true);
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
    options.retry.retries = settings.retries;
    options.perHost = settings.perHost;
    if (settings.rules.any() || archive != nullptr) {
        options.keep = [rules = settings.rules, archive](const PictureFacts& facts) -> PictureFetch::Verdict {
            if (std::string broken = BrokenRule(rules, facts); !broken.empty())
                return {false, "filtered", std::move(broken)};
            if (archive != nullptr) {
                if (const std::string earlier = archive->ClaimHash(std::string(facts.sha256), facts.path.string());
                    !earlier.empty())
                    return {false, "duplicate", "same as " + earlier};
            }
            return {};
        };
    }
    // Asked right before each fetch, so what another copy of the command
    // saved meanwhile counts too.
    DownloadBatch::Wanted wanted;
    if (archive != nullptr) {
        wanted = [entries, todo, thumbnails, archive](std::size_t item) {
            return !archive->HasAddress(GbkToUtf8(UrlOf((*entries)[todo[item]], thumbnails)));
        };
    }
    // Each entry is written by the one worker that finished it; waitIdle
    // below orders those writes before the caller reads them.
    auto batch = std::make_shared<DownloadBatch>(
        std::move(items), std::move(options),
        [entries, todo, run, thumbnails, archive, recorded, &console](std::size_t item, const ItemResult& result) {
            Entry& entry = (*entries)[todo[item]];
            const PictureFetch& fetch = result.fetch;
            if (result.kind == ItemResult::Kind::NoAddress) {
                Settle(entry, "no address", 0, {});
            } else if (result.kind == ItemResult::Kind::Gone) {
                Settle(entry, "in archive", 0, {});
                entry.held = "skipped";
            } else if (fetch.state == PictureFetch::State::NotKept) {
                Settle(entry, fetch.notKept.reason, fetch.bytes, {});
                entry.held = fetch.notKept.state;
            } else {
                Settle(entry, FailureReason(fetch), fetch.bytes, fetch.sha256);
            }
            const std::string path = result.path->string();
            if (archive != nullptr) {
                // A hash taken for a file that never came is free again.
                if (fetch.state == PictureFetch::State::WriteFailed && !fetch.sha256.empty())
                    archive->ReleaseHash(fetch.sha256);
                const bool hashed = entry.ok || entry.held == "duplicate" || entry.held == "filtered";
                ArchiveRecord record{GbkToUtf8(UrlOf(entry, thumbnails)),
                                     hashed ? fetch.sha256 : std::string(),
                                     entry.bytes,
                                     fetch.header.width,
                                     fetch.header.height,
                                     PictureFormatName(fetch.header.format),
                                     entry.ok ? path : std::string(),
                                     run.keyword,
                                     entry.ok ? "ok" : entry.held.empty() ? "failed" : entry.held,
                                     entry.reason};
                if (std::string error; !archive->Add(record, error)) {
                    if (recorded->exchange(false)) console.error("cannot add to the archive: " + error);
                }
            }
            console.finished(entry, path, UrlOf(entry, thumbnails));
        },
        std::move(wanted));

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
    return recorded->load();
}

}  // namespace lumigrab::cli
