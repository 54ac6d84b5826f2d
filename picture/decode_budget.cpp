#include "picture/decode_budget.h"

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

DecodeBudget::Reservation DecodeBudget::Reserve(std::size_t bytes) {
    if (bytes == 0) return {};
    std::unique_lock lock(mutex_);
    const std::uint64_t ticket = nextTicket_++;
    changed_.wait(lock, [&] {
        return ticket == serving_ && (held_ == 0 || (held_ <= capacity_ && bytes <= capacity_ - held_));
    });
    held_ += bytes;
    ++serving_;
    // The next in line may fit beside this one.
    changed_.notify_all();
    return Reservation(this, bytes);
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
    return static_cast<int>(nextTicket_ - serving_);
}

DecodeBudget& PictureTestBudget() {
    static DecodeBudget budget(kPictureTestBudgetBytes);
    return budget;
}

}  // namespace lumigrab
