#include "net/body_budget.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "net/http_request.h"

namespace lumigrab {

namespace {

using Clock = std::chrono::steady_clock;

// How often a waiter looks at its cancel flag; raising it does not notify.
constexpr std::chrono::milliseconds kCancelSlice{100};

std::atomic<std::size_t> capacityOverride{0};

struct Budget {
    std::mutex mutex;
    std::condition_variable released;
    std::size_t used = 0;
};

Budget& Shared() {
    // Never destroyed: detached workers may still hold bytes at exit.
    static Budget* const budget = new Budget;
    return *budget;
}

}  // namespace

std::size_t BodyBudgetCapacity() {
    const std::size_t override = capacityOverride.load(std::memory_order_relaxed);
    return override > 0 ? override : kDefaultBodyBudget;
}

std::size_t BodyBudgetInUse() {
    Budget& budget = Shared();
    const std::lock_guard<std::mutex> lock(budget.mutex);
    return budget.used;
}

void SetHttpBodyBudgetForTesting(std::size_t bytes) { capacityOverride.store(bytes, std::memory_order_relaxed); }

BodyReservation::Grant BodyReservation::growTo(std::size_t total, std::optional<Clock::time_point> deadline,
                                               const std::atomic<bool>* cancel) {
    if (total <= held_) return Grant::Granted;
    if (total > BodyBudgetCapacity()) return Grant::TooBig;
    const std::size_t extra = total - held_;
    Budget& budget = Shared();
    std::unique_lock<std::mutex> lock(budget.mutex);
    bool waited = false;
    for (;;) {
        const std::size_t capacity = BodyBudgetCapacity();
        if (total > capacity) return Grant::TooBig;
        if (budget.used <= capacity && extra <= capacity - budget.used) {
            budget.used += extra;
            held_ = total;
            return waited ? Grant::Waited : Grant::Granted;
        }
        if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) return Grant::Cancelled;
        const Clock::time_point now = Clock::now();
        if (deadline && now >= *deadline) return Grant::TimedOut;
        const auto slice = deadline ? std::min<Clock::duration>(kCancelSlice, *deadline - now)
                                    : Clock::duration(kCancelSlice);
        budget.released.wait_for(lock, slice);
        waited = true;
    }
}

void BodyReservation::releaseAll() {
    if (held_ == 0) return;
    Budget& budget = Shared();
    {
        const std::lock_guard<std::mutex> lock(budget.mutex);
        budget.used -= held_;
        held_ = 0;
    }
    budget.released.notify_all();
}

}  // namespace lumigrab
