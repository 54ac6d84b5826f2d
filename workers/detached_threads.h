#pragma once
// Detached threads that can be counted. The program never joins its worker
// threads; this only remembers how many are still alive so that whoever owns
// the objects they use (a test fixture, for one) can wait for them to end.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "workers/thread_end.h"

namespace lumigrab {

class DetachedThreads {
public:
    // Runs `body` on a new detached thread, then `ended` (may be empty) once
    // the thread holds nothing of `body` or of the libraries it used, and
    // only then counts the thread as gone. False when the system refused the
    // thread; neither has then run and neither ever will.
    bool start(std::function<void()> body, std::function<void()> ended = {}) {
        {
            std::lock_guard lock(shared_->mutex);
            ++shared_->live;
        }
        try {
            std::thread([shared = shared_, body = std::move(body), ended = std::move(ended)]() mutable {
                body();
                // Whatever `body` captured goes before the count drops, so a
                // waiter that sees zero knows none of it is still referenced.
                body = nullptr;
                // So does the libraries' per-thread state: a caller that
                // waited may end the process at once.
                ReleaseWorkerThreadState();
                if (ended) ended();
                std::lock_guard lock(shared->mutex);
                --shared->live;
                shared->idle.notify_all();
            }).detach();
        } catch (const std::system_error&) {
            std::lock_guard lock(shared_->mutex);
            --shared_->live;
            shared_->idle.notify_all();
            return false;
        }
        return true;
    }

    // True once no thread started here is running; false when `timeout`
    // passed first.
    bool waitIdle(std::chrono::milliseconds timeout) const {
        std::unique_lock lock(shared_->mutex);
        return shared_->idle.wait_for(lock, timeout, [&] { return shared_->live == 0; });
    }

    int live() const {
        std::lock_guard lock(shared_->mutex);
        return shared_->live;
    }

private:
    // Shared with the threads so that the count outlives this object.
    struct Shared {
        std::mutex mutex;
        std::condition_variable idle;
        int live = 0;
    };
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

}  // namespace lumigrab
