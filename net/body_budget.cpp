#include "net/body_budget.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "net/http_request.h"

namespace lumigrab {

struct BodyReservation::Holding {
    std::size_t held = 0;
    std::size_t claim = 0;  // never below held
};

namespace {

using Clock = std::chrono::steady_clock;
using Holding = BodyReservation::Holding;

// How often a waiter looks at its cancel flag; raising it does not notify.
constexpr std::chrono::milliseconds kCancelSlice{100};

std::atomic<std::size_t> capacityOverride{0};

struct Budget {
    std::mutex mutex;
    std::condition_variable released;
    std::size_t used = 0;
    std::vector<Holding*> holdings;
};

Budget& Shared() {
    // Never destroyed: detached workers may still hold bytes at exit.
    static Budget* const budget = new Budget;
    return *budget;
}

// Whether, with `asker` (null: a transfer holding nothing yet) holding `held`
// bytes of `claim` and `free` bytes left over, every holder could still get
// the rest of its claim in some order, each letting go when it finishes.
// Serving the smallest remaining claim first is as good as any order: if it
// cannot finish, nobody can. Under the budget's mutex.
bool EveryoneCanFinish(const Budget& budget, std::size_t free, const Holding* asker, std::size_t held,
                       std::size_t claim) {
    std::vector<std::pair<std::size_t, std::size_t>> holders;  // what each still needs, what it holds
    holders.reserve(budget.holdings.size() + 1);
    for (const Holding* holding : budget.holdings)
        if (holding != asker) holders.emplace_back(holding->claim - holding->held, holding->held);
    holders.emplace_back(claim - held, held);
    std::sort(holders.begin(), holders.end());
    for (const auto& [needs, holds] : holders) {
        if (needs > free) return false;
        free += holds;
    }
    return true;
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

// Only the owner changes its holding, under the mutex; others read it there.
std::size_t BodyReservation::held() const { return holding_ != nullptr ? holding_->held : 0; }
std::size_t BodyReservation::claim() const { return holding_ != nullptr ? holding_->claim : 0; }

BodyReservation::Grant BodyReservation::growTo(std::size_t total, std::size_t claim,
                                               std::optional<Clock::time_point> deadline,
                                               const std::atomic<bool>* cancel) {
    if (total <= held()) return Grant::Granted;
    if (total > BodyBudgetCapacity()) return Grant::TooBig;
    const std::size_t extra = total - held();
    Budget& budget = Shared();
    std::unique_lock<std::mutex> lock(budget.mutex);
    bool waited = false;
    for (;;) {
        const std::size_t capacity = BodyBudgetCapacity();
        if (total > capacity) return Grant::TooBig;
        const std::size_t wanted = std::clamp(claim, total, capacity);
        if (budget.used <= capacity && extra <= capacity - budget.used &&
            EveryoneCanFinish(budget, capacity - budget.used - extra, holding_, total, wanted)) {
            if (holding_ == nullptr) {
                holding_ = new Holding;
                budget.holdings.push_back(holding_);
            }
            budget.used += extra;
            holding_->held = total;
            holding_->claim = wanted;
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

void BodyReservation::settle() {
    if (holding_ == nullptr || holding_->claim == holding_->held) return;
    Budget& budget = Shared();
    {
        const std::lock_guard<std::mutex> lock(budget.mutex);
        holding_->claim = holding_->held;
    }
    // A step that had to wait for this claim may be safe now.
    budget.released.notify_all();
}

void BodyReservation::releaseAll() {
    if (holding_ == nullptr) return;
    Budget& budget = Shared();
    {
        const std::lock_guard<std::mutex> lock(budget.mutex);
        budget.used -= holding_->held;
        std::erase(budget.holdings, holding_);
        delete holding_;
        holding_ = nullptr;
    }
    budget.released.notify_all();
}

}  // namespace lumigrab
