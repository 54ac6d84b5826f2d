#include "workers/worker_gang.h"

#include <algorithm>
#include <utility>

#include "workers/thread_end.h"

namespace lumigrab {

WorkerGang::WorkerGang(DetachedThreads threads) : threads_(std::move(threads)) {}

WorkerGang::Start WorkerGang::start(std::unique_lock<std::mutex>& lock, std::function<void()>& body) {
    (void)lock;  // held: a stop() cannot slip between the check and the start
    ++shared_->running;
    const bool started = threads_.start([shared = shared_, body = std::move(body)]() mutable {
        body();
        // What the body captured goes before the slot is freed, so a waiter
        // woken here finds nothing of it still referenced.
        body = nullptr;
        // Before the slot is freed too: a caller that waited for the gang may
        // end the process at once. (The thread wrapper repeats it; the second
        // pass finds nothing left to free.)
        ReleaseWorkerThreadState();
        std::lock_guard guard(shared->mutex);
        --shared->running;
        shared->changed.notify_all();
    });
    if (started) return Start::Started;
    --shared_->running;
    return Start::Refused;
}

WorkerGang::Start WorkerGang::startWhenFree(int limit, std::function<void()> body) {
    limit = std::max(limit, 1);
    std::unique_lock lock(shared_->mutex);
    shared_->changed.wait(lock, [&] { return shared_->stopped || shared_->running < limit; });
    if (shared_->stopped) return Start::Stopped;
    return start(lock, body);
}

WorkerGang::Start WorkerGang::startIfFree(int limit, std::function<void()> body) {
    limit = std::max(limit, 1);
    std::unique_lock lock(shared_->mutex);
    if (shared_->stopped) return Start::Stopped;
    if (shared_->running >= limit) return Start::Busy;
    return start(lock, body);
}

void WorkerGang::stop() {
    std::lock_guard lock(shared_->mutex);
    shared_->stopped = true;
    shared_->cancel.store(true, std::memory_order_relaxed);
    shared_->changed.notify_all();
}

bool WorkerGang::stopped() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->stopped;
}

int WorkerGang::running() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->running;
}

bool WorkerGang::waitIdle(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(shared_->mutex);
    return shared_->changed.wait_for(lock, timeout, [&] { return shared_->running == 0; });
}

}  // namespace lumigrab
