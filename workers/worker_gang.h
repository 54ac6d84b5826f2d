#pragma once
// The one worker pattern of the program: detached threads, at most N of one
// gang running at once. A finishing body frees its slot and wakes whoever
// waits for one, so the next body starts the moment the count drops below N;
// nothing polls.
//
// A gang is a handle: copies share one state, which every started thread
// also holds, so a gang's counts and its cancel flag stay valid however long
// its threads outlive the run that made it. Nothing is ever joined.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "workers/detached_threads.h"

namespace lumigrab {

// Workers a run may have for the number the user gave: below 1 (an empty,
// non-numeric, zero or negative thread count) means the default, since a
// limit below 1 would let no worker start.
inline constexpr int kDefaultWorkerLimit = 5;
inline int WorkerLimit(int asked) { return asked < 1 ? kDefaultWorkerLimit : asked; }

class WorkerGang {
public:
    // `threads` counts every thread the gang starts, for whoever must wait
    // until all threads of several gangs are gone (a test fixture, say).
    explicit WorkerGang(DetachedThreads threads = {});

    enum class Start {
        Started,  // the body runs on its own thread
        Refused,  // the system refused the thread; the body never runs
        Stopped,  // stop() came first; the body never runs
        Busy,     // startIfFree only: every slot is taken
    };

    // Waits, without polling, until fewer than `limit` bodies of this gang
    // run or the gang is stopped, then starts `body`. A limit below 1 counts
    // as 1. Never call it on the window thread: it may wait for workers that
    // themselves wait for the window.
    Start startWhenFree(int limit, std::function<void()> body);

    // Starts `body` only if a slot is free now (else Busy); never waits.
    Start startIfFree(int limit, std::function<void()> body);

    // No body starts after this returns, a waiting startWhenFree returns
    // Stopped, and the cancel flag is raised so that running bodies' network
    // transfers end at once. Running bodies themselves are not interrupted.
    void stop();
    bool stopped() const;

    // Raised by stop(); hand it to HTTP requests made for this gang. Valid
    // for as long as any copy of the gang, or any of its threads, lives.
    const std::atomic<bool>* cancelFlag() const { return &shared_->cancel; }

    // Waits `duration`, or less when stop() comes first; true when the whole
    // time passed without a stop. For pauses a stop must cut short.
    bool sleepUnlessStopped(std::chrono::milliseconds duration) const;

    int running() const;
    // True once no body of this gang runs; false when `timeout` passed first.
    bool waitIdle(std::chrono::milliseconds timeout) const;

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;  // a slot freed, or stop
        int running = 0;
        bool stopped = false;
        std::atomic<bool> cancel{false};
    };

    Start start(std::unique_lock<std::mutex>& lock, std::function<void()>& body);

    DetachedThreads threads_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

}  // namespace lumigrab
