#include "cli/downloads.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "net/redirects.h"
#include "net/retry.h"
#include "platform/file_io.h"

namespace lumigrab::cli {
namespace {

// Gives `entry` how its picture ended; a picture saved without a checksum
// that can be read counts as failed, as nothing could vouch for its file.
void Settle(Entry& entry, const DownloadOutcome& outcome, std::uint64_t bytes = 0, const std::string& sha256 = {}) {
    entry.bytes = bytes;
    const bool checked = outcome.kind != DownloadOutcome::Kind::Saved || Sha256FromHex(sha256, entry.sha256);
    entry.setOutcome(checked ? outcome : DownloadOutcome::Failed(DownloadOutcome::Cause::NoChecksum));
}

std::string_view UrlOf(const Entry& entry, bool thumbnails) {
    return thumbnails ? entry.thumbnail() : entry.address();
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

// Each record's claim, or why it was not fetched; written and read by the
// one worker that has the record. Only an archive claims or passes over.
struct Claimed {
    std::int64_t row = 0;
    std::unique_ptr<DownloadOutcome> passedOver;  // set only for the few passed over
};

struct Downloads::State {
    State(const ManifestRun& run, const DownloadSettings& settings, WorkerGang& gang, Console& console)
        : run(run), settings(settings), gang(gang), console(console) {}

    // The record behind batch item `item`, and its claim. Records are only
    // ever added at the end, so the references stay valid; the lock keeps
    // the lookup apart from an add.
    std::pair<Entry&, Claimed&> of(std::size_t item) {
        std::lock_guard hold(lock);
        return {entries[todo[item]], claims[item]};
    }
    // Archive trouble is told once; the run goes on without its help.
    void recordError(const std::string& error) {
        if (recorded.exchange(false)) console.error("cannot use the archive: " + error);
    }
    void ended(std::size_t item, bool ok) {
        {
            std::lock_guard hold(lock);
            reached[item] = 1;
            ++endedCount;
            if (ok) ++savedCount;
        }
        changed.notify_all();
    }

    const ManifestRun run;
    const DownloadSettings settings;
    WorkerGang gang;
    Console& console;
    std::shared_ptr<DownloadBatch> batch;
    bool noThread = false;  // not one worker could be started
    std::atomic<bool> recorded{true};
    std::atomic<bool> described{true};  // every metadata file written

    mutable std::mutex lock;
    mutable std::condition_variable changed;
    std::deque<Entry> entries;
    std::deque<std::size_t> todo;  // batch item -> record
    std::deque<Claimed> claims;    // by batch item
    std::deque<char> reached;      // by batch item: its outcome came
    std::size_t endedCount = 0;
    std::size_t savedCount = 0;
};

Downloads::Downloads(const ManifestRun& run, const DownloadSettings& settings, WorkerGang& gang, Console& console)
    : state_(std::make_shared<State>(run, settings, gang, console)) {
    State* const s = state_.get();
    Archive* const archive = settings.archive;
    const bool thumbnails = settings.thumbnails;
    BatchOptions options;
    options.workers = settings.threads;
    options.sha256 = true;
    options.retry.retries = settings.retries;
    options.perHost = settings.perHost;
    options.appendable = true;
    options.saveAtMost = settings.saveAtMost;
    if (settings.rules.any() || archive != nullptr) {
        options.keep = [rules = settings.rules, archive, s](const PictureFacts& facts) -> PictureFetch::Verdict {
            if (std::string broken = BrokenRule(rules, facts); !broken.empty())
                return {false, DownloadOutcome::Rule::Filtered, std::move(broken)};
            if (archive == nullptr) return {};
            const Archive::HashClaim claim = archive->ClaimHash(std::string(facts.sha256), facts.path.string());
            if (claim.kind == Archive::HashClaim::Kind::Duplicate) return {false, DownloadOutcome::Rule::Duplicate, claim.earlier};
            // Unsure whether it is held, the picture is kept: a second copy
            // can be removed, a lost one not.
            if (claim.kind == Archive::HashClaim::Kind::Failed) s->recordError(claim.error);
            return {};
        };
    }
    // Asked right before each fetch, so what another copy of the command
    // saved meanwhile counts too, and the claim keeps other copies off it.
    DownloadBatch::Wanted wanted;
    if (archive != nullptr) {
        wanted = [s, thumbnails, archive](std::size_t item) {
            auto [entry, claimed] = s->of(item);
            const std::string_view url = UrlOf(entry, thumbnails);
            if (url.empty()) return true;  // reported as without an address
            const Archive::Claim claim =
                archive->ClaimAddress(std::string(url), PathOf(s->run, entry).string(), s->run.keyword);
            switch (claim.kind) {
                case Archive::Claim::Kind::Fetch: claimed.row = claim.row; return true;
                case Archive::Claim::Kind::InArchive:
                    claimed.passedOver = std::make_unique<DownloadOutcome>(
                        DownloadOutcome::PassedOver(DownloadOutcome::Passed::InArchive));
                    return false;
                // What that copy gets is what the archive keeps, as with a
                // picture an earlier run saved.
                case Archive::Claim::Kind::Theirs:
                    claimed.passedOver = std::make_unique<DownloadOutcome>(
                        DownloadOutcome::PassedOver(DownloadOutcome::Passed::OtherCopy, claim.holder, claim.outcome));
                    return false;
                case Archive::Claim::Kind::Failed: s->recordError(claim.error); return true;
            }
            return true;
        };
    }
    // Each record is written by the one worker that finished it; finish()
    // waits for the workers, which orders those writes before its reads.
    s->batch = std::make_shared<DownloadBatch>(
        std::vector<DownloadItem>{}, std::move(options),
        [s, thumbnails, archive](std::size_t item, const ItemResult& result) {
            auto [entry, claimed] = s->of(item);
            const PictureFetch& fetch = result.fetch;
            if (result.kind == ItemResult::Kind::NoAddress) {
                Settle(entry, DownloadOutcome::Failed(DownloadOutcome::Cause::NoAddress));
            } else if (result.kind == ItemResult::Kind::Gone) {
                // Only an archive passes a record over.
                Settle(entry, *claimed.passedOver);
            } else {
                Settle(entry, OutcomeOf(fetch), fetch.bytes, fetch.sha256);
            }
            const std::string path = result.path->string();
            // Written only once the picture is: what it describes is there.
            if (s->settings.writeMetadata && entry.ok()) {
                const std::string record = ManifestLine(s->run, entry) + "\n";
                std::string error;
                if (!ReplaceFile(path + ".json",
                                 std::span(reinterpret_cast<const std::uint8_t*>(record.data()), record.size()),
                                 FileSync::No, &error)) {
                    s->console.error("cannot write the metadata " + error);
                    s->described.store(false);
                }
            }
            if (archive != nullptr) {
                // Only a picture in hand keeps its hash: a failed write frees the one its claim took.
                const bool hashed = entry.ok() || entry.outcome == DownloadOutcome::Kind::NotKept;
                ArchiveRecord record{std::string(UrlOf(entry, thumbnails)),
                                     hashed ? fetch.sha256 : std::string(),
                                     entry.bytes,
                                     fetch.header.width,
                                     fetch.header.height,
                                     PictureFormatName(fetch.header.format),
                                     entry.ok() ? path : std::string(),
                                     s->run.keyword,
                                     std::string(StateWord(entry)),
                                     entry.reason,
                                     std::string(entry.sourcePage()),
                                     std::string(entry.title()),
                                     entry.rank,
                                     entry.page};
                if (std::string error; !(claimed.row != 0 ? archive->Finish(claimed.row, record, error)
                                                          : archive->Add(record, error)))
                    s->recordError(error);
            }
            s->console.finished(entry, path, UrlOf(entry, thumbnails));
            s->ended(item, entry.ok());
        },
        std::move(wanted));
    s->console.begin(0);
    s->noThread = s->batch->start(s->gang) == 0 && !s->gang.stopped();
}

Downloads::~Downloads() {
    // Whatever way the run ends, no worker outlives the records it writes.
    state_->batch->close();
    while (!state_->gang.waitIdle(std::chrono::milliseconds(500))) {
    }
}

void Downloads::add(std::vector<Entry> records, const std::vector<std::size_t>& fetch) {
    State& s = *state_;
    std::vector<DownloadItem> items;
    items.reserve(fetch.size());
    std::vector<std::size_t> noThread;
    {
        std::lock_guard hold(s.lock);
        const std::size_t base = s.entries.size();
        for (Entry& record : records) s.entries.push_back(std::move(record));
        for (std::size_t index : fetch) {
            const Entry& entry = s.entries[base + index];
            items.push_back({Text(UrlOf(entry, s.settings.thumbnails)), PathOf(s.run, entry)});
            if (s.noThread) noThread.push_back(s.todo.size());
            s.todo.push_back(base + index);
            s.claims.emplace_back();
            s.reached.push_back(0);
        }
    }
    s.console.more(static_cast<int>(items.size()));
    if (noThread.empty()) {
        s.batch->append(std::move(items));
        return;
    }
    for (std::size_t item : noThread) {
        Entry& entry = s.of(item).first;
        Settle(entry, DownloadOutcome::Failed(DownloadOutcome::Cause::NoThread));
        s.console.finished(entry, PathOf(s.run, entry).string(), entry.address());
        s.ended(item, false);
    }
}

Downloads::Outcome Downloads::finish(bool dropUnreached) {
    State& s = *state_;
    s.batch->close();
    while (!s.gang.waitIdle(std::chrono::milliseconds(500))) s.console.tick();
    s.console.end();
    Archive* const archive = s.settings.archive;
    // Copies under other names that a stop cut off never got their outcome.
    if (std::string error; archive != nullptr && !archive->ReleaseClaims(error)) s.recordError(error);
    Outcome outcome;
    outcome.recorded = s.recorded.load() && s.described.load();
    std::lock_guard hold(s.lock);
    // Unreached after a stop: stopped. Unreached with the run's bound met:
    // not needed, so not part of the run at all, or left as they were.
    const bool boundMet = s.settings.saveAtMost > 0 && s.savedCount >= s.settings.saveAtMost && !s.gang.stopped();
    std::vector<char> drop(s.entries.size(), 0);
    for (std::size_t item = 0; item < s.todo.size(); ++item) {
        if (s.reached[item]) {
            ++outcome.fetched;
        } else if (!boundMet) {
            Settle(s.entries[s.todo[item]], DownloadOutcome::Failed(DownloadOutcome::Cause::Stopped));
            ++outcome.fetched;
        } else if (dropUnreached) {
            drop[s.todo[item]] = 1;
        }
    }
    outcome.entries.reserve(s.entries.size());
    for (std::size_t i = 0; i < s.entries.size(); ++i)
        if (!drop[i]) outcome.entries.push_back(std::move(s.entries[i]));
    s.entries.clear();
    return outcome;
}

std::size_t Downloads::given() const {
    std::lock_guard hold(state_->lock);
    return state_->todo.size();
}

std::size_t Downloads::ended() const {
    std::lock_guard hold(state_->lock);
    return state_->endedCount;
}

std::size_t Downloads::saved() const {
    std::lock_guard hold(state_->lock);
    return state_->savedCount;
}

void Downloads::waitForChange(std::chrono::milliseconds timeout) const {
    std::unique_lock hold(state_->lock);
    const std::size_t before = state_->endedCount;
    state_->changed.wait_for(hold, timeout, [&] { return state_->endedCount != before; });
}

}  // namespace lumigrab::cli
