#include "picture/decode_budget.h"

#include <chrono>
#include <utility>

namespace lumigrab {

DecodeBudget::Reservation::Reservation(Reservation&& other) noexcept
    : budget_(std::exchange(other.budget_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}

DecodeBudget::Reservation& DecodeBudget::Reservation::operator=(Reservation&& other) noexcept {
    if (this != &other) {
        Release();
        budget_ = std::exchange(other.budget_, nullptr);
        bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
}

void DecodeBudget::Reservation::Release() {
    if (budget_ != nullptr) budget_->GiveBack(bytes_);
    budget_ = nullptr;
    bytes_ = 0;
}

DecodeBudget::Reservation DecodeBudget::Reserve(std::size_t bytes, const std::atomic<bool>* cancel) {
    if (bytes == 0) return {};
    std::unique_lock lock(mutex_);
    const std::uint64_t ticket = nextTicket_++;
    const auto turn = [&] {
        return ticket == serving_ && (held_ == 0 || (held_ <= capacity_ && bytes <= capacity_ - held_));
    };
    if (cancel == nullptr) {
        changed_.wait(lock, turn);
    } else {
        // Whoever raises the flag knows nothing of this budget and cannot
        // wake its waiters, so a waiter looks at the flag now and then.
        while (!changed_.wait_for(lock, std::chrono::milliseconds(50), turn)) {
            if (!cancel->load(std::memory_order_relaxed)) continue;
            if (ticket == serving_) {
                PassTurn();
                changed_.notify_all();
            } else {
                abandoned_.insert(ticket);
            }
            return {};
        }
    }
    held_ += bytes;
    PassTurn();
    // The next in line may fit beside this one.
    changed_.notify_all();
    return Reservation(this, bytes);
}

void DecodeBudget::PassTurn() {
    ++serving_;
    while (abandoned_.erase(serving_) > 0) ++serving_;
}

void DecodeBudget::GiveBack(std::size_t bytes) {
    {
        const std::lock_guard lock(mutex_);
        held_ -= bytes;
    }
    changed_.notify_all();
}

std::size_t DecodeBudget::held() const {
    const std::lock_guard lock(mutex_);
    return held_;
}

int DecodeBudget::waiting() const {
    const std::lock_guard lock(mutex_);
    return static_cast<int>(nextTicket_ - serving_ - abandoned_.size());
}

DecodeBudget& PictureTestBudget() {
    static DecodeBudget budget(kPictureTestBudgetBytes);
    return budget;
}

}  // namespace lumigrab
