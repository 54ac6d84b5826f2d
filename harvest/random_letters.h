#pragma once
// Unseeded random numbers and letters for save names. Every call reads the
// processor's time-stamp counter afresh, so nothing is shared between threads.
#include <cstdint>

#include "text/text.h"

namespace lumigrab {

// A save name ends up as a file name, so a letter count typed by the user is
// never allowed to grow one past what a file system accepts.
inline constexpr int kMaxRandomLetters = 200;

// The mapping from a counter reading T to [low, high]:
//   r = ((T * 214013 + 2531011) mod 2^32) >> 16 & 0x7FFF,  low + r mod (high - low + 1)
// in unsigned 32-bit arithmetic. A high of 0 stands for 2147483647. A span that
// wraps to 0 (low 0, high 0xFFFFFFFF) gives low + r instead of dividing by 0.
std::uint32_t RandomFromCounter(std::uint32_t counter, std::uint32_t low, std::uint32_t high);

// RandomFromCounter of the low 32 bits of the time-stamp counter.
std::uint32_t RandomInRange(std::uint32_t low, std::uint32_t high);

// `count` ASCII letters (none when count <= 0, at most kMaxRandomLetters).
// Mode 0: lower case; mode 1: upper case; any other mode: odd positions lower,
// even positions upper (1-based), the parity taken in floating point.
Text RandomLetters(int count, int mode);

}  // namespace lumigrab
