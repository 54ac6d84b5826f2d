#pragma once
// The download engine under both front ends: N long-lived workers, each
// taking the next picture as it finishes one, so no thread is made per
// picture and each worker keeps one body buffer for all its fetches.
// Items that share an address are fetched once and saved under every name.
//
// The engine knows nothing of rows or records: it hands each item's result to
// the front end's callback, from the worker that produced it. Results of a
// stopped batch stop at once: items not begun are never reported.
//
// A batch may also be fed while it runs (BatchOptions::appendable): a front
// end that downloads while it harvests appends each page's items as the page
// comes in, and closes the batch after the last page.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "download/picture_fetch.h"
#include "net/retry.h"
#include "workers/worker_gang.h"

namespace lumigrab {

struct DownloadItem {
    Text url;                    // empty: nothing to fetch, reported as NoAddress
    std::filesystem::path path;  // where the picture goes
};

struct ItemResult {
    enum class Kind {
        Fetched,    // `fetch` says how it went (for this item's own write)
        NoAddress,  // the item had no address; nothing was fetched
        Gone,       // the front end no longer wanted it; nothing was fetched
    };
    Kind kind = Kind::Fetched;
    PictureFetch fetch;
    // Where the item's picture goes (its DownloadItem::path), valid while
    // the callback runs: front ends keep no copy of their own.
    const std::filesystem::path* path = nullptr;
};

struct BatchOptions {
    int workers = kDefaultWorkerLimit;
    bool sha256 = false;  // hash every saved picture (PictureFetch::sha256)
    // Gangs of earlier batches whose transfers are being cancelled: no
    // worker of this batch fetches until they are gone, so never more than N
    // transfers are open across batches.
    std::vector<WorkerGang> waitFor;
    // Asked before each worker is started (its number from 0); false makes
    // that start fail as if the system had refused the thread. For tests.
    std::function<bool(int worker)> allowWorker;
    // Asking a busy or briefly unreachable host again (net/retry.h); by
    // default each picture is asked once.
    RetryRules retry;
    // At most this many transfers to one host (scheme, name and port) at
    // once; 0: only `workers` limits them.
    int perHost = 0;
    // Decides, per tested picture and per copy, whether it is written
    // (PictureFetchOptions::keep); empty writes every picture.
    KeepPicture keep;
    // More items may come with append() until close(); workers wait for
    // them rather than end when the items in hand are done.
    bool appendable = false;
    // At most this many pictures written; 0: no bound. A fetch starts only
    // while the pictures written and the fetches under way stay below it, so
    // the bound is met exactly however many workers run. Items not begun
    // when it is met are never reported, as after a stop.
    std::size_t saveAtMost = 0;
};

class DownloadBatch : public std::enable_shared_from_this<DownloadBatch> {
public:
    using Finished = std::function<void(std::size_t item, const ItemResult& result)>;
    using Wanted = std::function<bool(std::size_t item)>;

    // `finished` is called once for every item reached, from a worker; calls
    // may overlap. `wanted` (may be empty) is asked right before an item's
    // fetch begins.
    DownloadBatch(std::vector<DownloadItem> items, BatchOptions options, Finished finished,
                  Wanted wanted = {});

    // Starts the workers in `gang` and returns at once: how many started.
    int start(WorkerGang& gang);

    // Adds items after those already given (an appendable batch only); the
    // first gets the number size() had. An address the batch holds already
    // is not fetched again: while its fetch is under way the item waits for
    // it, and after it the item gets what it got, a picture read back from
    // its file (asked for anew only when that file is no longer the same).
    void append(std::vector<DownloadItem> items);
    // No more items come: workers end once the items in hand are done.
    void close();

    std::size_t size() const;

private:
    static constexpr std::uint32_t kNone = UINT32_MAX;
    // A job: the items sharing one address, the first fetched into, chained
    // through nextSame_. A few bytes an item, so a long list costs little
    // beyond its items.
    struct Job {
        std::uint32_t first = 0;
        std::uint32_t last = 0;
        // An earlier job of the same address, whose outcome this one takes
        // over rather than fetch again.
        std::uint32_t copyOf = kNone;
        bool taken = false;
        bool ended = false;  // no item joins it: a later one of its address makes a job of its own
        // What the address gave, once it did, and the item whose file holds
        // the picture.
        std::shared_ptr<const PictureFetch> outcome;
        std::uint32_t holder = kNone;
    };

    void addLocked(DownloadItem item);
    void work(const WorkerGang& gang);
    // The next job a worker may fetch now; nullopt when none is left (and
    // none can come), the bound is met or the gang stopped. Waits while
    // every job left is to a host at its limit, while the fetches under way
    // could meet the bound, and for appended items.
    std::optional<std::size_t> takeJob(const WorkerGang& gang);
    void jobDone(std::size_t j);
    // The items of job `j` after the first `seen`; none ends the job.
    std::vector<std::uint32_t> moreOf(std::size_t j, std::size_t seen);
    // A slot under saveAtMost for one more write; true without a bound.
    bool reserveWrite();
    void writeEnded(bool saved);
    // The outcome job `j` takes over from the earlier job of its address,
    // with the picture's bytes in `body` when it was saved; nullopt when the
    // address has to be asked.
    std::optional<PictureFetch> takeOver(std::size_t j, Bytes& body, BodyReservation& held,
                                         const std::atomic<bool>* cancel);
    void keepOutcome(std::size_t j, const PictureFetch& outcome, std::uint32_t holder);
    // Hands `result` for `item` to the front end.
    void report(std::size_t item, ItemResult result);
    void runJob(std::size_t j, const WorkerGang& gang, Bytes& body, BodyReservation& held, std::mt19937& random);

    const BatchOptions options_;
    const Finished finished_;
    const Wanted wanted_;

    // Everything below is guarded by lock_. Items and jobs are only ever
    // added at the end, so references to them stay valid.
    mutable std::mutex lock_;
    std::condition_variable changed_;  // items came, the batch closed, a job ended
    std::deque<DownloadItem> items_;
    std::deque<std::uint32_t> nextSame_;  // the next item of the same job, or kNone
    std::deque<Job> jobs_;
    std::unordered_map<std::string_view, std::uint32_t> jobOfAddress_;  // views into items_
    bool closed_ = true;
    std::size_t firstOpen_ = 0;  // no job before it is left to take
    std::map<std::string, int> inFlight_;
    std::size_t written_ = 0;   // pictures written, against saveAtMost
    std::size_t writing_ = 0;   // fetches and copies under way that may write one
};

}  // namespace lumigrab
