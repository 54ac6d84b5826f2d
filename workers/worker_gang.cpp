#include "workers/worker_gang.h"

#include <algorithm>
#include <utility>

namespace lumigrab {

WorkerGang::WorkerGang(DetachedThreads threads) : threads_(std::move(threads)) {}

WorkerGang::Start WorkerGang::start(std::unique_lock<std::mutex>& lock, std::function<void()>& body) {
    (void)lock;  // held: a stop() cannot slip between the check and the start
    ++shared_->running;
    // The slot is freed in `ended`, after the thread let go of the body and
    // of its libraries' state, so a waiter woken then finds none of it held.
    const bool started = threads_.start(std::move(body), [shared = shared_] {
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

bool WorkerGang::sleepUnlessStopped(std::chrono::milliseconds duration) const {
    std::unique_lock lock(shared_->mutex);
    return !shared_->changed.wait_for(lock, duration, [&] { return shared_->stopped; });
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
