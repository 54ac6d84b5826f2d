#pragma once
// Waiting for something another thread or process does, with a bound.
#include <chrono>
#include <functional>
#include <thread>

namespace lumigrab::testing {

// Checks `condition` every `step` until it holds or `limit` has passed; the
// answer of one last check after the limit. Limits are generous (seconds):
// they only stop a broken run from hanging, never judge speed.
inline bool Eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(20),
                       std::chrono::milliseconds step = std::chrono::milliseconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(step);
    }
    return condition();
}

}  // namespace lumigrab::testing
