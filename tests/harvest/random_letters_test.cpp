#include "harvest/random_letters.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>

namespace lumigrab {
namespace {

struct CounterCase {
    const char* name;
    std::uint32_t counter, low, high, expected;
};

class RandomFromCounterTest : public ::testing::TestWithParam<CounterCase> {};

TEST_P(RandomFromCounterTest, MapsCounterIntoRange) {
    const CounterCase& c = GetParam();
    EXPECT_EQ(RandomFromCounter(c.counter, c.low, c.high), c.expected);
}

// Expected values worked out by hand from the generator's formula.
INSTANTIATE_TEST_SUITE_P(
    Formula, RandomFromCounterTest,
    ::testing::Values(
        CounterCase{"LowerCaseLetter", 0, 97, 122, 109},
        CounterCase{"UpperCaseLetter", 1, 65, 90, 80},
        CounterCase{"HighZeroMeansIntMax", 0, 0, 0, 38},
        CounterCase{"ProductWrapsModulo2To32", 0xFFFFFFFFu, 0, 0, 35},
        CounterCase{"MaskDropsTopBit", 10023, 0, 0, 1},
        CounterCase{"SpanWrapsToZero", 0, 0, 0xFFFFFFFFu, 38},
        CounterCase{"SingleValueRange", 0, 5, 5, 5},
        CounterCase{"HighLowBound", 7, 4000000000u, 4000000009u, 4000000001u}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RandomInRangeTest, StaysInRangeAndVaries) {
    std::set<std::uint32_t> seen;
    for (int i = 0; i < 2000; ++i) {
        const std::uint32_t v = RandomInRange(97, 122);
        ASSERT_GE(v, 97u);
        ASSERT_LE(v, 122u);
        seen.insert(v);
    }
    // Unseeded, but the counter moves between calls: a constant would be a fault.
    EXPECT_GT(seen.size(), 10u);
}

struct LettersCase {
    const char* name;
    int count;
    int mode;
    std::size_t length;
};

class RandomLettersTest : public ::testing::TestWithParam<LettersCase> {};

TEST_P(RandomLettersTest, LengthAndCasePerPosition) {
    const LettersCase& c = GetParam();
    const Text letters = RandomLetters(c.count, c.mode);
    ASSERT_EQ(letters.size(), c.length);
    for (std::size_t i = 0; i < letters.size(); ++i) {
        const unsigned char ch = static_cast<unsigned char>(letters[i]);
        const bool oddPosition = (i + 1) % 2 == 1;
        const bool wantUpper = c.mode == 1 || (c.mode != 0 && !oddPosition);
        if (wantUpper)
            EXPECT_TRUE(std::isupper(ch)) << "position " << i + 1 << " in " << letters;
        else
            EXPECT_TRUE(std::islower(ch)) << "position " << i + 1 << " in " << letters;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, RandomLettersTest,
    ::testing::Values(LettersCase{"LowerOnly", 12, 0, 12}, LettersCase{"UpperOnly", 12, 1, 12},
                      LettersCase{"Alternating", 9, 2, 9},
                      LettersCase{"UnknownModeAlternates", 8, 7, 8},
                      LettersCase{"NegativeModeAlternates", 5, -1, 5},
                      LettersCase{"ZeroCount", 0, 2, 0}, LettersCase{"NegativeCount", -4, 2, 0},
                      LettersCase{"BeyondLimit", 1000000000, 2, kMaxRandomLetters},
                      LettersCase{"AtLimit", kMaxRandomLetters, 2, kMaxRandomLetters}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lumigrab
