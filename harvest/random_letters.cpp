#include "harvest/random_letters.h"

#include <algorithm>
#include <cmath>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#else
#include <chrono>
#endif

namespace lumigrab {

namespace {

std::uint32_t ReadCounter() {
#if defined(__x86_64__) || defined(__i386__)
    return static_cast<std::uint32_t>(__rdtsc());
#else
    // No time-stamp counter here: the steady clock in its finest unit moves
    // between two calls just as well.
    return static_cast<std::uint32_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
#endif
}

char LetterAt(int position, int mode) {
    bool upper = mode == 1;
    if (mode != 0 && mode != 1) {
        const double rest = std::fmod(static_cast<double>(position), 2.0);
        upper = std::fabs(rest - 1.0) >= 1e-7;
    }
    return static_cast<char>(upper ? RandomInRange(65, 90) : RandomInRange(97, 122));
}

}  // namespace

std::uint32_t RandomFromCounter(std::uint32_t counter, std::uint32_t low, std::uint32_t high) {
    if (high == 0) high = 2147483647u;
    const std::uint32_t r = ((counter * 214013u + 2531011u) >> 16) & 0x7FFFu;
    const std::uint32_t span = high - low + 1u;
    if (span == 0) return low + r;
    return low + r % span;
}

std::uint32_t RandomInRange(std::uint32_t low, std::uint32_t high) {
    return RandomFromCounter(ReadCounter(), low, high);
}

Text RandomLetters(int count, int mode) {
    Text letters;
    const int n = std::min(count, kMaxRandomLetters);
    for (int p = 1; p <= n; ++p) letters.push_back(LetterAt(p, mode));
    return letters;
}

}  // namespace lumigrab
