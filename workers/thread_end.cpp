#include "workers/thread_end.h"

#include <array>
#include <atomic>
#include <cstdlib>
#include <mutex>

namespace lumigrab {
namespace {

// Written under the mutex, read without it: a slot is published once and
// never changes again.
std::array<std::atomic<void (*)()>, 4> releases{};
std::mutex registering;

}  // namespace

void AtEveryWorkerEnd(void (*release)()) {
    std::lock_guard lock(registering);
    for (auto& slot : releases) {
        void (*const present)() = slot.load(std::memory_order_relaxed);
        if (present == release) return;
        if (present == nullptr) {
            slot.store(release, std::memory_order_release);
            return;
        }
    }
    std::abort();  // more libraries than slots: a programming error
}

void ReleaseWorkerThreadState() {
    for (const auto& slot : releases) {
        void (*const release)() = slot.load(std::memory_order_acquire);
        if (release == nullptr) return;
        release();
    }
}

}  // namespace lumigrab
