#pragma once
// Detached threads that can be counted. The program never joins its worker
// threads; this only remembers how many are still alive so that whoever owns
// the objects they use (a test fixture, for one) can wait for them to end.
//
// Every thread the program starts goes through here, and each is counted
// twice: by the DetachedThreads object that started it, and process-wide.
// The process-wide count is what `main` waits for before it returns, so no
// thread still runs while static destructors and the libraries' exit
// handlers tear down what it uses.
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
        Count& process = ProcessCount();
        shared_->raise();
        process.raise();
        try {
            std::thread([shared = shared_, &process, body = std::move(body), ended = std::move(ended)]() mutable {
                body();
                // Whatever `body` captured goes before the count drops, so a
                // waiter that sees zero knows none of it is still referenced.
                body = nullptr;
                // So does the libraries' per-thread state: a caller that
                // waited may end the process at once.
                ReleaseWorkerThreadState();
                if (ended) ended();
                ended = nullptr;
                // The object's count first: the process count reaching zero
                // must mean nothing of this thread is left to run but its exit.
                shared->lower();
                shared = nullptr;
                process.lower();
            }).detach();
        } catch (const std::system_error&) {
            shared_->lower();
            process.lower();
            return false;
        }
        return true;
    }

    // True once no thread started here is running; false when `timeout`
    // passed first.
    bool waitIdle(std::chrono::milliseconds timeout) const { return shared_->waitZero(timeout); }

    int live() const { return shared_->value(); }

    // Every thread started through any DetachedThreads in this process.
    static bool waitAllIdle(std::chrono::milliseconds timeout) { return ProcessCount().waitZero(timeout); }
    static int liveInProcess() { return ProcessCount().value(); }

private:
    struct Count {
        mutable std::mutex mutex;
        mutable std::condition_variable idle;
        int live = 0;

        void raise() {
            std::lock_guard lock(mutex);
            ++live;
        }
        void lower() {
            std::lock_guard lock(mutex);
            if (--live == 0) idle.notify_all();
        }
        bool waitZero(std::chrono::milliseconds timeout) const {
            std::unique_lock lock(mutex);
            return idle.wait_for(lock, timeout, [&] { return live == 0; });
        }
        int value() const {
            std::lock_guard lock(mutex);
            return live;
        }
    };

    // Never destroyed: threads still finishing during the process's exit
    // may lower it after static destructors have begun.
    static Count& ProcessCount() {
        static Count* const count = new Count;
        return *count;
    }

    // Shared with the threads so that the count outlives this object.
    std::shared_ptr<Count> shared_ = std::make_shared<Count>();
};

}  // namespace lumigrab
