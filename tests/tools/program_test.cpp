// lumigrab-standin as a program: it reports its port, serves through the
// tunnel, and ends on SIGTERM or when its lifetime is over.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "standin_client.h"
#include "tools/standin/standin.h"

extern char** environ;

namespace lumigrab::standin {
namespace {

using namespace std::chrono_literals;

// The child process; killed and reaped if a test leaves it running.
class Child {
public:
    explicit Child(std::vector<std::string> args) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // First line of stdout, "" on timeout.
    std::string line(std::chrono::milliseconds timeout) {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (text.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{out_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
            char c;
            if (::read(out_, &c, 1) != 1) return "";
            text += c;
        }
        return text.substr(0, text.find('\n'));
    }
    // Exit status once the process ends within the timeout; nullopt otherwise.
    std::optional<int> wait(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(20ms);
        }
        return std::nullopt;
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

std::string Program() { return std::string(LUMIGRAB_BIN_DIR) + "/lumigrab-standin"; }

TEST(Program, ServesThroughTunnelAndStopsOnSigterm) {
    if (!std::filesystem::exists(Program())) GTEST_SKIP() << "lumigrab-standin not built";
    Child child({Program(), "--port", "0", "--print-port", "--lifetime-seconds", "60", "--total", "40"});
    ASSERT_GT(child.pid(), 0);
    const std::string port = child.line(10s);
    ASSERT_FALSE(port.empty());
    testing::FetchOptions viaProxy;
    viaProxy.proxy = "http://127.0.0.1:" + port;
    const auto page = testing::Fetch(
        "https://image.baidu.com" + StandinServer::FlipPathAndQuery("cat", 20), viaProxy);
    ASSERT_EQ(page.code, CURLE_OK);
    // --total 40: elements 20..39 and the closing {}.
    EXPECT_NE(page.body.find("\"pageNum\":39"), std::string::npos);
    EXPECT_EQ(page.body.find("\"pageNum\":40"), std::string::npos);
    ::kill(child.pid(), SIGTERM);
    EXPECT_EQ(child.wait(10s), 0);
}

TEST(Program, LifetimeEndsIt) {
    if (!std::filesystem::exists(Program())) GTEST_SKIP() << "lumigrab-standin not built";
    Child child({Program(), "--print-port", "--lifetime-seconds", "1"});
    ASSERT_FALSE(child.line(10s).empty());
    EXPECT_EQ(child.wait(10s), 0);
}

TEST(Program, BadArgumentsFail) {
    if (!std::filesystem::exists(Program())) GTEST_SKIP() << "lumigrab-standin not built";
    for (std::vector<std::string> args : {std::vector<std::string>{"--port", "70000"},
                                          std::vector<std::string>{"--lifetime-seconds"},
                                          std::vector<std::string>{"--total", "12x"},
                                          std::vector<std::string>{"--unknown"}}) {
        args.insert(args.begin(), Program());
        Child child(args);
        EXPECT_EQ(child.wait(10s), 2) << args[1];
    }
}

}  // namespace
}  // namespace lumigrab::standin
