// The end of the process, observed from outside: closing ends it at once
// with exit code 0, even while workers are blocked in window calls.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <string>

#include "support/child.h"
#include "support/eventually.h"
#include "support/own_network.h"

namespace {

using lumigrab::testing::Child;
using lumigrab::testing::Eventually;

// True once the process catches SIGTERM, i.e. its window is up and the
// close-on-signal hook is in place.
bool CatchesTerm(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigCgt:", 0) == 0) {
            const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
            return mask & (1ULL << (SIGTERM - 1));
        }
    }
    return false;
}

TEST(Shutdown, CloseWhileWorkersCallIntoWindowExitsZero) {
    Child probe({CLOSE_PROBE_EXE});
    ASSERT_GT(probe.pid(), 0);
    const auto status = probe.waitStatus(std::chrono::seconds(60));
    ASSERT_TRUE(status.has_value()) << "the probe hung after closing";
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 0);
}

TEST(Shutdown, ProgramClosesOnTerminateAndExitsZero) {
    if (!lumigrab::testing::OwnNetworkProblem().empty()) GTEST_SKIP() << lumigrab::testing::OwnNetworkProblem();
    Child program({LUMIGRAB_EXE});
    ASSERT_GT(program.pid(), 0);
    const pid_t pid = program.pid();
    ASSERT_TRUE(Eventually([&] { return CatchesTerm(pid); }, std::chrono::seconds(60)))
        << "the program did not come up";
    program.signal(SIGTERM);
    const auto status = program.waitStatus(std::chrono::seconds(30));
    ASSERT_TRUE(status.has_value()) << "the program hung after closing";
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 0);
}

}  // namespace
