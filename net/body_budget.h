#pragma once
// One budget for the response bodies that all transfers of the process hold
// while they arrive, so that many workers on large bodies cannot together
// take more memory than the budget, however many there are.
//
// No deadlock: a transfer that waits while holding nothing cannot stop anyone;
// one that waits while holding bytes gives up after a deadline and lets them go.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <optional>

namespace lumigrab {

// Four bodies of the largest size a request accepts (kMaxResponseBody), so any
// one body always fits; real pictures are a few MB, so even a hundred workers
// rarely wait. A desktop machine holds this much without strain.
inline constexpr std::size_t kDefaultBodyBudget = std::size_t{256} << 20;

// The budget now in force (the default unless a test replaced it), and how
// much of it transfers hold right now.
std::size_t BodyBudgetCapacity();
std::size_t BodyBudgetInUse();

// Bytes held by one transfer; what it still holds goes back when it dies.
class BodyReservation {
public:
    enum class Grant {
        Granted,    // at once
        Waited,     // after waiting for others to let bytes go
        Cancelled,  // the cancel flag was raised while waiting
        TimedOut,   // the deadline passed while waiting
        TooBig,     // more than the whole budget: it can never be had
    };

    BodyReservation() = default;
    ~BodyReservation() { releaseAll(); }
    BodyReservation(const BodyReservation&) = delete;
    BodyReservation& operator=(const BodyReservation&) = delete;
    BodyReservation(BodyReservation&& other) noexcept : held_(other.held_) { other.held_ = 0; }
    BodyReservation& operator=(BodyReservation&& other) noexcept {
        if (this != &other) {
            releaseAll();
            held_ = other.held_;
            other.held_ = 0;
        }
        return *this;
    }

    std::size_t held() const { return held_; }

    // Raises the holding to `total` bytes (no-op when it already holds that
    // many). The increase is taken whole or not at all; while the budget is
    // short it waits, watching `cancel` (may be null) and `deadline` (none:
    // wait as long as it takes).
    Grant growTo(std::size_t total, std::optional<std::chrono::steady_clock::time_point> deadline,
                 const std::atomic<bool>* cancel);
    void releaseAll();

private:
    std::size_t held_ = 0;
};

}  // namespace lumigrab
