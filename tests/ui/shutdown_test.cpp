// The end of the process, observed from outside: closing ends it at once
// with exit code 0, even while workers are blocked in window calls.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

pid_t Start(const char* program) {
    char* argv[] = {const_cast<char*>(program), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) return -1;
    return pid;
}

// The exit status, or -1 (after killing it) if the process outlived `limit`.
int WaitFor(pid_t pid, std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    int status = 0;
    while (Clock::now() < deadline) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

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
    const pid_t pid = Start(CLOSE_PROBE_EXE);
    ASSERT_GT(pid, 0);
    const int status = WaitFor(pid, std::chrono::seconds(60));
    ASSERT_NE(status, -1) << "the probe hung after closing";
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Shutdown, ProgramClosesOnTerminateAndExitsZero) {
    const pid_t pid = Start(LUMIGRAB_EXE);
    ASSERT_GT(pid, 0);
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (!CatchesTerm(pid) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(CatchesTerm(pid)) << "the program did not come up";
    kill(pid, SIGTERM);
    const int status = WaitFor(pid, std::chrono::seconds(30));
    ASSERT_NE(status, -1) << "the program hung after closing";
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
