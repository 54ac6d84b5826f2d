#pragma once
// One budget for the response bodies that all transfers of the process hold
// while they arrive, so that many workers on large bodies cannot together
// take more memory than the budget, however many there are.
//
// A body takes the budget as its bytes come, a step at a time, so a host that
// declares a large body but sends it slowly holds only what it has sent; its
// declared length is its claim, what it may still come to. A step is granted
// only when the holders could still all finish in some order, each getting
// the rest of its claim as the ones before it let go (the banker's rule). So
// waits never deadlock, and a small body is not kept waiting by large claims
// while the budget has room for it.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <optional>

namespace lumigrab {

// Every body in memory, from its first byte until its caller lets it go,
// counts here. Any one body of the largest size a request accepts
// (kMaxResponseBody) fits, with 16 MiB to spare for others while a host
// that declared that size trickles. Twenty workers on 5 MB pictures keep
// about sixteen in memory at once, which keeps the window program under
// 150 MB; the workers beyond that have nothing to do on a two-core machine
// anyway, and over real links bodies take budget only as bytes arrive.
inline constexpr std::size_t kDefaultBodyBudget = std::size_t{80} << 20;

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
    BodyReservation(BodyReservation&& other) noexcept : holding_(other.holding_) { other.holding_ = nullptr; }
    BodyReservation& operator=(BodyReservation&& other) noexcept {
        if (this != &other) {
            releaseAll();
            holding_ = other.holding_;
            other.holding_ = nullptr;
        }
        return *this;
    }

    std::size_t held() const;
    // The most this body may come to, as last stated to growTo.
    std::size_t claim() const;

    // Raises the holding to `total` bytes (no-op when it already holds that
    // many), for a body that may come to `claim` bytes in all (raised to
    // `total` if lower; at most the whole budget). The increase is taken
    // whole or not at all; while the budget is short, or taking it now could
    // leave some holder unable ever to finish, it waits, watching `cancel`
    // (may be null) and `deadline` (none: wait as long as it takes).
    Grant growTo(std::size_t total, std::size_t claim,
                 std::optional<std::chrono::steady_clock::time_point> deadline, const std::atomic<bool>* cancel);
    // The body is whole: it will not grow, so nobody waits for its claim.
    void settle();
    void releaseAll();

    struct Holding;

private:
    Holding* holding_ = nullptr;
};

}  // namespace lumigrab
