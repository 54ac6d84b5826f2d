#include "download/batch.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include "net/http_connection.h"
#include "net/http_request.h"
#include "platform/file_io.h"
#include "net/redirects.h"
#include "text/text.h"

namespace lumigrab {
namespace {

// A worker keeps its body's storage for the next picture while it is a
// block of the heap. A larger one has a mapping of its own, filled only as
// far as bytes came: keeping it would keep every worker at the size of its
// largest picture so far.
constexpr std::size_t kKeptBodyCapacity = kMappedBlockBytes;

}  // namespace

DownloadBatch::DownloadBatch(std::vector<DownloadItem> items, BatchOptions options, Finished finished,
                             Wanted wanted)
    : options_(std::move(options)), finished_(std::move(finished)), wanted_(std::move(wanted)) {
    closed_ = !options_.appendable;
    for (DownloadItem& item : items) addLocked(std::move(item));
}

std::size_t DownloadBatch::size() const {
    std::lock_guard lock(lock_);
    return items_.size();
}

void DownloadBatch::addLocked(DownloadItem item) {
    const auto index = static_cast<std::uint32_t>(items_.size());
    items_.push_back(std::move(item));
    nextSame_.push_back(kNone);
    // Jobs are in the order of each address's first item, so pictures are
    // fetched in list order.
    const auto [at, fresh] = jobOfAddress_.try_emplace(items_.back().url, static_cast<std::uint32_t>(jobs_.size()));
    if (!fresh && !jobs_[at->second].ended) {
        Job& job = jobs_[at->second];
        nextSame_[job.last] = index;
        job.last = index;
        return;
    }
    const std::uint32_t earlier = fresh ? kNone : at->second;
    at->second = static_cast<std::uint32_t>(jobs_.size());
    Job job;
    job.first = job.last = index;
    job.copyOf = earlier;
    jobs_.push_back(std::move(job));
}

void DownloadBatch::append(std::vector<DownloadItem> items) {
    {
        std::lock_guard lock(lock_);
        for (DownloadItem& item : items) addLocked(std::move(item));
    }
    changed_.notify_all();
}

void DownloadBatch::close() {
    {
        std::lock_guard lock(lock_);
        closed_ = true;
    }
    changed_.notify_all();
}

int DownloadBatch::start(WorkerGang& gang) {
    std::size_t jobs = 0;
    {
        std::lock_guard lock(lock_);
        jobs = jobs_.size();
    }
    // A batch that will grow gets its workers now; one fixed in size no
    // more than it has jobs.
    const int workers = options_.appendable ? WorkerLimit(options_.workers)
                                            : std::clamp(WorkerLimit(options_.workers), 1,
                                                         std::max<int>(1, static_cast<int>(jobs)));
    int started = 0;
    for (int w = 0; w < workers; ++w) {
        if (options_.allowWorker && !options_.allowWorker(w)) continue;
        auto self = shared_from_this();
        if (gang.startIfFree(workers, [self, gang] { self->work(gang); }) == WorkerGang::Start::Started)
            ++started;
    }
    return started;
}

void DownloadBatch::work(const WorkerGang& gang) {
    // A batch started right after a stop waits until the stopped batch's
    // transfers, cancelled already, are gone; a stop of this one ends the wait.
    for (const WorkerGang& earlier : options_.waitFor) {
        while (!earlier.waitIdle(std::chrono::milliseconds(100))) {
            if (gang.stopped()) return;
        }
    }
    Bytes body;
    BodyReservation held;
    std::mt19937 random(std::random_device{}());
    for (;;) {
        const std::optional<std::size_t> j = takeJob(gang);
        if (!j) return;
        runJob(*j, gang, body, held, random);
        jobDone(*j);
        body.clear();
        if (body.capacity() > kKeptBodyCapacity) Bytes().swap(body);
        held.releaseAll();
    }
}

std::optional<std::size_t> DownloadBatch::takeJob(const WorkerGang& gang) {
    const std::size_t bound = options_.saveAtMost;
    std::unique_lock lock(lock_);
    for (;;) {
        if (gang.stopped() || (bound > 0 && written_ >= bound)) return std::nullopt;
        while (firstOpen_ < jobs_.size() && jobs_[firstOpen_].taken) ++firstOpen_;
        if (firstOpen_ == jobs_.size() && closed_) return std::nullopt;
        // Every write the fetches under way may make is counted against the
        // bound before it is made.
        if (bound == 0 || written_ + writing_ < bound) {
            for (std::size_t j = firstOpen_; j < jobs_.size(); ++j) {
                Job& job = jobs_[j];
                if (job.taken) continue;
                if (options_.perHost > 0) {
                    int& busy = inFlight_[UrlOrigin(items_[job.first].url)];
                    if (busy >= options_.perHost) continue;
                    ++busy;
                }
                job.taken = true;
                ++writing_;
                return j;
            }
        }
        // Nothing to take now. A job that ends, an item that comes or the
        // close wakes this; so does the bound, which lets a stop be seen.
        changed_.wait_for(lock, std::chrono::milliseconds(100));
    }
}

void DownloadBatch::jobDone(std::size_t j) {
    {
        std::lock_guard lock(lock_);
        if (options_.perHost > 0) --inFlight_[UrlOrigin(items_[jobs_[j].first].url)];
    }
    changed_.notify_all();
}

std::vector<std::uint32_t> DownloadBatch::moreOf(std::size_t j, std::size_t seen) {
    std::lock_guard lock(lock_);
    std::vector<std::uint32_t> more;
    std::uint32_t item = jobs_[j].first;
    for (std::size_t k = 0; item != kNone; item = nextSame_[item], ++k)
        if (k >= seen) more.push_back(item);
    if (more.empty()) jobs_[j].ended = true;
    return more;
}

bool DownloadBatch::reserveWrite() {
    if (options_.saveAtMost == 0) return true;
    std::lock_guard lock(lock_);
    if (written_ + writing_ >= options_.saveAtMost) return false;
    ++writing_;
    return true;
}

void DownloadBatch::writeEnded(bool saved) {
    {
        std::lock_guard lock(lock_);
        --writing_;
        if (saved) ++written_;
    }
    changed_.notify_all();
}

void DownloadBatch::keepOutcome(std::size_t j, const PictureFetch& outcome, std::uint32_t holder) {
    auto kept = std::make_shared<const PictureFetch>(outcome);
    std::lock_guard lock(lock_);
    jobs_[j].outcome = std::move(kept);
    jobs_[j].holder = holder;
}

std::optional<PictureFetch> DownloadBatch::takeOver(std::size_t j, Bytes& body, BodyReservation& held,
                                                    const std::atomic<bool>* cancel) {
    std::shared_ptr<const PictureFetch> outcome;
    std::filesystem::path file;
    {
        std::lock_guard lock(lock_);
        const std::uint32_t earlier = jobs_[j].copyOf;
        if (earlier == kNone || !jobs_[earlier].outcome) return std::nullopt;
        outcome = jobs_[earlier].outcome;
        if (jobs_[earlier].holder != kNone) file = items_[jobs_[earlier].holder].path;
    }
    // A stopped fetch said nothing about the address.
    if (outcome->state == PictureFetch::State::Cancelled) return std::nullopt;
    if (outcome->state != PictureFetch::State::Saved) return *outcome;
    // The picture is read back from its file, counted in the body budget
    // as a fetched one is, and taken only while it is what was saved.
    if (file.empty() || outcome->bytes > kMaxResponseBody) return std::nullopt;
    const auto size = static_cast<std::size_t>(outcome->bytes);
    const BodyReservation::Grant grant = held.growTo(size, size, std::nullopt, cancel);
    if (grant != BodyReservation::Grant::Granted && grant != BodyReservation::Grant::Waited) return std::nullopt;
    const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) {
        held.releaseAll();
        return std::nullopt;
    }
    body.resize(size + 1);  // one byte more shows a file that grew
    std::size_t got = 0;
    while (got < body.size()) {
        const ssize_t n = ::read(fd.get(), body.data() + got, body.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    body.resize(got);
    if (got != size || (!outcome->sha256.empty() && Sha256Hex(body) != outcome->sha256)) {
        body.clear();
        held.releaseAll();
        return std::nullopt;
    }
    return *outcome;
}

void DownloadBatch::report(std::size_t item, ItemResult result) {
    {
        std::lock_guard lock(lock_);
        result.path = &items_[item].path;
    }
    finished_(item, result);
}

void DownloadBatch::runJob(std::size_t j, const WorkerGang& gang, Bytes& body, BodyReservation& held,
                           std::mt19937& random) {
    const std::atomic<bool>* cancel = gang.cancelFlag();
    const auto cancelled = [cancel] { return cancel != nullptr && cancel->load(std::memory_order_relaxed); };
    // The job's one write slot, taken with it, is for its first live item; a
    // copy under another name takes one of its own.
    bool slotHeld = true;
    std::optional<PictureFetch> first;
    // Items may join while the address is fetched: they are copies too.
    std::size_t seen = 0;
    for (std::vector<std::uint32_t> more = moreOf(j, seen); !more.empty(); more = moreOf(j, seen)) {
        seen += more.size();
        for (const std::uint32_t item : more) {
            // A stop ends the copies; the fetch itself ended already.
            if (first && cancelled()) {
                if (slotHeld) writeEnded(false);
                return;
            }
            const DownloadItem* entry = nullptr;
            {
                std::lock_guard lock(lock_);
                entry = &items_[item];
            }
            if (wanted_ && !wanted_(item)) {
                report(item, ItemResult{ItemResult::Kind::Gone, {}});
                continue;
            }
            if (entry->url.empty()) {
                report(item, ItemResult{ItemResult::Kind::NoAddress, {}});
                continue;
            }
            if (!first) {
                // An address whose fetch ended before this item came: the
                // item is a copy, made in the job's own slot.
                if ((first = takeOver(j, body, held, cancel))) {
                    const PictureFetch copy = SaveCopy(*first, body, entry->path, options_.keep);
                    keepOutcome(j, *first, copy.state == PictureFetch::State::Saved ? item : kNone);
                    slotHeld = false;
                    writeEnded(copy.state == PictureFetch::State::Saved);
                    report(item, ItemResult{ItemResult::Kind::Fetched, copy});
                    continue;
                }
                RetrySchedule schedule(options_.retry, std::chrono::steady_clock::now());
                for (;;) {
                    first = FetchPicture(entry->url, entry->path,
                                         PictureFetchOptions{cancel, options_.sha256, options_.keep}, body, held);
                    first->tries = schedule.tries();
                    const std::optional<std::chrono::milliseconds> pause = schedule.next(
                        first->status, first->failure, first->retryAfter, std::chrono::steady_clock::now(), random);
                    if (!pause || !gang.sleepUnlessStopped(*pause)) break;
                }
                keepOutcome(j, *first, item);
                slotHeld = false;
                writeEnded(first->state == PictureFetch::State::Saved);
                report(item, ItemResult{ItemResult::Kind::Fetched, *first});
                continue;
            }
            // The same picture under another name: a copy of the bytes in
            // hand, not a second fetch. Past the bound it is not made.
            if (!reserveWrite()) continue;
            const PictureFetch copy = SaveCopy(*first, body, entry->path, options_.keep);
            writeEnded(copy.state == PictureFetch::State::Saved);
            report(item, ItemResult{ItemResult::Kind::Fetched, copy});
        }
    }
    if (slotHeld) writeEnded(false);
}

}  // namespace lumigrab
