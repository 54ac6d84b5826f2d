#include "cli/downloads.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "net/redirects.h"
#include "net/retry.h"
#include "platform/file_io.h"

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
    auto described = std::make_shared<std::atomic<bool>>(true);  // every metadata file written
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
    // Archive trouble is told once; the run goes on without its help.
    auto recordError = [recorded, &console](const std::string& error) {
        if (recorded->exchange(false)) console.error("cannot use the archive: " + error);
    };
    if (settings.rules.any() || archive != nullptr) {
        options.keep = [rules = settings.rules, archive, recordError](const PictureFacts& facts) -> PictureFetch::Verdict {
            if (std::string broken = BrokenRule(rules, facts); !broken.empty())
                return {false, "filtered", std::move(broken)};
            if (archive == nullptr) return {};
            const Archive::HashClaim claim = archive->ClaimHash(std::string(facts.sha256), facts.path.string());
            if (claim.kind == Archive::HashClaim::Kind::Duplicate) return {false, "duplicate", "same as " + claim.earlier};
            // Unsure whether it is held, the picture is kept: a second copy
            // can be removed, a lost one not.
            if (claim.kind == Archive::HashClaim::Kind::Failed) recordError(claim.error);
            return {};
        };
    }
    // Each item's claim, or why it was not fetched; written and read by the
    // one worker that has the item. Only an archive claims or passes over.
    struct Claimed {
        std::int64_t row = 0;
        std::string skipped;  // the reason it was passed over
    };
    auto claims = std::make_shared<std::vector<Claimed>>(archive != nullptr ? todo.size() : 0);
    // Asked right before each fetch, so what another copy of the command
    // saved meanwhile counts too, and the claim keeps other copies off it.
    DownloadBatch::Wanted wanted;
    if (archive != nullptr) {
        wanted = [entries, todo, thumbnails, archive, claims, run, recordError](std::size_t item) {
            const Entry& entry = (*entries)[todo[item]];
            const std::string_view url = UrlOf(entry, thumbnails);
            if (url.empty()) return true;  // reported as without an address
            const Archive::Claim claim =
                archive->ClaimAddress(std::string(url), PathOf(run, entry).string(), run.keyword);
            Claimed& claimed = (*claims)[item];
            switch (claim.kind) {
                case Archive::Claim::Kind::Fetch: claimed.row = claim.row; return true;
                case Archive::Claim::Kind::InArchive: claimed.skipped = "in archive"; return false;
                // What that copy gets is what the archive keeps, as with a
                // picture an earlier run saved.
                case Archive::Claim::Kind::Theirs:
                    claimed.skipped = claim.outcome.empty()
                                          ? "being fetched by process " + std::to_string(claim.holder)
                                          : "fetched by process " + std::to_string(claim.holder) + ", " + claim.outcome;
                    return false;
                case Archive::Claim::Kind::Failed: recordError(claim.error); return true;
            }
            return true;
        };
    }
    // Each entry is written by the one worker that finished it; waitIdle
    // below orders those writes before the caller reads them.
    auto batch = std::make_shared<DownloadBatch>(
        std::move(items), std::move(options),
        [entries, todo, run, thumbnails, archive, claims, recordError, described,
         writeMetadata = settings.writeMetadata, &console](std::size_t item, const ItemResult& result) {
            Entry& entry = (*entries)[todo[item]];
            const PictureFetch& fetch = result.fetch;
            if (result.kind == ItemResult::Kind::NoAddress) {
                Settle(entry, "no address", 0, {});
            } else if (result.kind == ItemResult::Kind::Gone) {
                Settle(entry, (*claims)[item].skipped, 0, {});
                entry.held = "skipped";
            } else if (fetch.state == PictureFetch::State::NotKept) {
                Settle(entry, fetch.notKept.reason, fetch.bytes, {});
                entry.held = fetch.notKept.state;
            } else {
                Settle(entry, FailureReason(fetch), fetch.bytes, fetch.sha256);
            }
            const std::string path = result.path->string();
            // Written only once the picture is: what it describes is there.
            if (writeMetadata && entry.ok) {
                const std::string record = ManifestLine(run, entry) + "\n";
                std::string error;
                if (!ReplaceFile(path + ".json",
                                 std::span(reinterpret_cast<const std::uint8_t*>(record.data()), record.size()),
                                 FileSync::No, &error)) {
                    console.error("cannot write the metadata " + error);
                    described->store(false);
                }
            }
            if (archive != nullptr) {
                // Only a picture in hand keeps its hash: a failed write frees the one its claim took.
                const bool hashed = entry.ok || entry.held == "duplicate" || entry.held == "filtered";
                ArchiveRecord record{std::string(UrlOf(entry, thumbnails)),
                                     hashed ? fetch.sha256 : std::string(),
                                     entry.bytes,
                                     fetch.header.width,
                                     fetch.header.height,
                                     PictureFormatName(fetch.header.format),
                                     entry.ok ? path : std::string(),
                                     run.keyword,
                                     entry.ok ? "ok" : entry.held.empty() ? "failed" : entry.held,
                                     entry.reason,
                                     std::string(entry.sourcePage()),
                                     std::string(entry.title()),
                                     entry.rank,
                                     entry.page};
                const std::int64_t row = (*claims)[item].row;
                if (std::string error; !(row != 0 ? archive->Finish(row, record, error) : archive->Add(record, error)))
                    recordError(error);
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
    // Copies under other names that a stop cut off never got their outcome.
    if (std::string error; archive != nullptr && !archive->ReleaseClaims(error)) recordError(error);
    return recorded->load() && described->load();
}

}  // namespace lumigrab::cli
