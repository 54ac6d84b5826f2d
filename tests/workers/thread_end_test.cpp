#include "workers/thread_end.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "workers/detached_threads.h"
#include "workers/worker_gang.h"

namespace lumigrab::testing {
namespace {

using namespace std::chrono_literals;

std::atomic<int> released{0};

// Slow on purpose: a release that ran after the thread reported itself done
// would still be sleeping when the wait returns.
void SlowRelease() {
    std::this_thread::sleep_for(50ms);
    released.fetch_add(1);
}

TEST(WorkerEnd, ReleaseRunsBeforeTheWaitForTheWorkerReturns) {
    AtEveryWorkerEnd(&SlowRelease);

    DetachedThreads threads;
    ASSERT_TRUE(threads.start([] {}));
    ASSERT_TRUE(threads.waitIdle(10s));
    EXPECT_GE(released.load(), 1) << "a plain detached thread";

    released = 0;
    WorkerGang gang(threads);
    ASSERT_EQ(gang.startWhenFree(1, [] {}), WorkerGang::Start::Started);
    ASSERT_TRUE(gang.waitIdle(10s));
    EXPECT_GE(released.load(), 1) << "a gang's worker, waited for through the gang";
    ASSERT_TRUE(threads.waitIdle(10s));
}

}  // namespace
}  // namespace lumigrab::testing
