#pragma once
// Working memory shared by every picture test in the process. The download
// workers test pictures concurrently; a test whose working memory is large
// (a progressive JPEG keeps every DCT coefficient of the picture, 128 bytes
// per 8x8 block and component, whatever the output scale) reserves its
// estimate here before allocating and gives it back when done. When the
// budget is short the caller waits, in arrival order, until enough is given
// back. A request larger than the whole budget is served once nothing else is
// held, so it is neither refused nor left waiting forever. A waiter whose
// run was stopped leaves the line and its turn passes on.
//
// Only the picture test waits here: it runs on worker threads. The display
// decode runs on the window thread, which must never wait.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>

namespace lumigrab {

class DecodeBudget {
public:
    // Holds its bytes until destroyed, moved from or released.
    class Reservation {
    public:
        Reservation() = default;
        Reservation(Reservation&& other) noexcept;
        Reservation& operator=(Reservation&& other) noexcept;
        Reservation(const Reservation&) = delete;
        Reservation& operator=(const Reservation&) = delete;
        ~Reservation() { Release(); }

        std::size_t bytes() const { return bytes_; }
        void Release();

    private:
        friend class DecodeBudget;
        Reservation(DecodeBudget* budget, std::size_t bytes) : budget_(budget), bytes_(bytes) {}

        DecodeBudget* budget_ = nullptr;
        std::size_t bytes_ = 0;
    };

    explicit DecodeBudget(std::size_t capacity) : capacity_(capacity) {}
    DecodeBudget(const DecodeBudget&) = delete;
    DecodeBudget& operator=(const DecodeBudget&) = delete;

    // Blocks until `bytes` can be held; zero bytes never wait. Gives up once
    // `cancel` (may be null) is raised while waiting, returning an empty
    // reservation: the caller tells that apart by its own flag.
    Reservation Reserve(std::size_t bytes, const std::atomic<bool>* cancel = nullptr);

    std::size_t capacity() const { return capacity_; }
    std::size_t held() const;
    // Callers blocked in Reserve.
    int waiting() const;

private:
    void GiveBack(std::size_t bytes);
    void PassTurn();  // under mutex_

    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t held_ = 0;
    // Tickets keep arrival order, so a stream of small requests cannot starve
    // a large one that waits for room.
    std::uint64_t nextTicket_ = 0;
    std::uint64_t serving_ = 0;
    std::set<std::uint64_t> abandoned_;  // tickets of waiters that gave up, not yet reached
};

// 128 MiB: room for several ordinary progressive photos at once (a 12-Mpixel
// 4:2:0 one needs about 36 MB of coefficients). A JPEG that needs more than
// all of it (an 8000x8000 colour one: 190-380 MB) is judged by its markers
// instead, so no test ever holds more. The display decode, bounded by the
// size limits alone, can take up to 256 MB for its canvas on top of this.
inline constexpr std::size_t kPictureTestBudgetBytes = std::size_t{128} << 20;

// The budget IsPicture draws from.
DecodeBudget& PictureTestBudget();

}  // namespace lumigrab
