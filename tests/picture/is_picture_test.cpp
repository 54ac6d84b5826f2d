// The picture test keeps no picture. It must still answer exactly as the full
// decode does, and many tests of huge claims at once must stay small.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "picture/decode_budget.h"
#include "picture/picture.h"
#include "samples.h"
#include "support/eventually.h"
#include "support/files.h"

namespace lumigrab {
namespace {

using namespace std::chrono_literals;
using testing::Bytes8;
using testing::Eventually;

TEST(IsPicture, AnswersAsTheFullDecodeOnSamplesTheirCutsAndKeptFuzzInputs) {
    std::vector<std::pair<std::string, Bytes8>> cases;
    for (testing::NamedSample& s : testing::EveryFormatSamples()) {
        const std::size_t n = s.bytes.size();
        for (std::size_t cut : {n / 4, n / 2, n * 3 / 4, n - 1})
            cases.emplace_back(std::string(s.name) + " cut at " + std::to_string(cut),
                               Bytes8(s.bytes.begin(), s.bytes.begin() + static_cast<std::ptrdiff_t>(cut)));
        cases.emplace_back(s.name, std::move(s.bytes));
    }
    const std::filesystem::path corpus = std::filesystem::path(LUMIGRAB_SOURCE_DIR) / "fuzz/corpus/picture";
    for (const auto& entry : std::filesystem::directory_iterator(corpus))
        cases.emplace_back(entry.path().filename().string(), testing::ReadFile(entry.path()));
    ASSERT_GT(cases.size(), 100u);
    for (const auto& [name, bytes] : cases) EXPECT_EQ(IsPicture(bytes), DecodePicture(bytes).has_value()) << name;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// In a child process, so that no other test's peak counts: 32 threads each
// test one of the huge claims. Decoded whole, each would take a 256 MB canvas
// (the JPEG 128 MB of coefficients on top), some 9 GB together. Kept to a
// row, only the JPEG's coefficients remain, and the budget lets one such
// test hold them at a time.
TEST(IsPicture, ManyConcurrentTestsOfHugeClaimsStayUnderAFixedPeak) {
    if (kSanitized) GTEST_SKIP() << "the sanitizers' allocators hold on to freed memory";
    const std::vector<testing::NamedSample> samples = testing::HugeClaimSamples();
    for (const auto& s : samples) ASSERT_FALSE(s.bytes.empty()) << s.name;
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeEnds[0]);
        std::atomic<long> refused{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 32; ++t)
            threads.emplace_back([&, t] {
                if (!IsPicture(samples[static_cast<std::size_t>(t) % samples.size()].bytes)) ++refused;
            });
        for (std::thread& t : threads) t.join();
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        const long report[2] = {usage.ru_maxrss, refused.load()};
        const bool sent = write(pipeEnds[1], report, sizeof report) == static_cast<ssize_t>(sizeof report);
        _exit(sent ? 0 : 1);
    }
    close(pipeEnds[1]);
    long report[2] = {0, -1};
    const ssize_t got = read(pipeEnds[0], report, sizeof report);
    close(pipeEnds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof report));
    EXPECT_EQ(report[1], 0) << "huge claims refused";
    EXPECT_LT(report[0] / 1024, 256) << "peak resident memory of the child, MiB";
}

TEST(DecodeBudget, RequestLargerThanTheBudgetWaitsUntilItIsEmptyAndLaterOnesQueueBehind) {
    DecodeBudget budget(100);
    DecodeBudget::Reservation first = budget.Reserve(60);
    std::atomic<int> order{0};
    int bigServed = 0, smallServed = 0;
    std::thread big([&] {
        const DecodeBudget::Reservation r = budget.Reserve(250);
        bigServed = ++order;
        EXPECT_EQ(budget.held(), 250u);
    });
    while (budget.waiting() < 1) std::this_thread::yield();
    // Would fit beside `first`, but arrived after the large request.
    std::thread small([&] {
        const DecodeBudget::Reservation r = budget.Reserve(10);
        smallServed = ++order;
    });
    while (budget.waiting() < 2) std::this_thread::yield();
    EXPECT_EQ(order.load(), 0);
    first.Release();
    big.join();
    small.join();
    EXPECT_EQ(bigServed, 1);
    EXPECT_EQ(smallServed, 2);
    EXPECT_EQ(budget.held(), 0u);
}

TEST(DecodeBudget, WaiterWhoseRunStoppedLeavesTheLineAndTheNextIsServed) {
    DecodeBudget budget(100);
    DecodeBudget::Reservation first = budget.Reserve(60);
    std::atomic<bool> stopped{false};
    std::thread leaving([&] {
        const DecodeBudget::Reservation r = budget.Reserve(50, &stopped);
        EXPECT_EQ(r.bytes(), 0u);
    });
    while (budget.waiting() < 1) std::this_thread::yield();
    std::atomic<bool> smallServed{false};
    std::thread small([&] {
        const DecodeBudget::Reservation r = budget.Reserve(10);  // fits, but queued behind
        smallServed = true;
    });
    while (budget.waiting() < 2) std::this_thread::yield();
    stopped = true;
    EXPECT_TRUE(Eventually([&] { return smallServed.load(); }, 10s)) << "served beside the held 60";
    first.Release();
    leaving.join();
    small.join();
    EXPECT_EQ(budget.waiting(), 0);
}

}  // namespace
}  // namespace lumigrab
