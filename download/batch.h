#pragma once
// The download engine under both front ends: N long-lived workers, each
// taking the next picture as it finishes one, so no thread is made per
// picture and each worker keeps one body buffer for all its fetches.
// Items that share an address are fetched once and saved under every name.
//
// The engine knows nothing of rows or records: it hands each item's result to
// the front end's callback, from the worker that produced it. Results of a
// stopped batch stop at once: items not begun are never reported.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
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

    std::size_t size() const { return items_.size(); }

private:
    // A job: the items sharing one address, the first fetched into.
    std::span<const std::uint32_t> job(std::size_t j) const;
    void work(const WorkerGang& gang);
    // The next job a worker may fetch now; nullopt when none is left or the
    // gang stopped. Waits while every job left is to a host at its limit.
    std::optional<std::size_t> takeJob(const WorkerGang& gang);
    void jobDone(std::size_t j);
    // Hands `result` for `item` to the front end.
    void report(std::size_t item, ItemResult result) const;
    void runJob(std::span<const std::uint32_t> sharing, const WorkerGang& gang, Bytes& body, BodyReservation& held,
                std::mt19937& random);

    const std::vector<DownloadItem> items_;
    const BatchOptions options_;
    const Finished finished_;
    const Wanted wanted_;
    // Every item once, grouped by address; the jobs in the order of their
    // first items, each starting at jobStart_[j]. A few bytes an item, so a
    // long list costs little beyond its items.
    std::vector<std::uint32_t> byJob_;
    std::vector<std::uint32_t> jobStart_;
    std::atomic<std::size_t> nextJob_{0};  // without a per-host limit
    // With one, jobs are taken under the lock, passing over those whose host is full.
    std::mutex hostsLock_;
    std::condition_variable hostFreed_;
    std::vector<char> taken_;
    std::size_t firstOpen_ = 0;  // no job before it is left to take
    std::map<std::string, int> inFlight_;
};

}  // namespace lumigrab
