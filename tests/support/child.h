#pragma once
// Programs the tests start: the program under test, the stand-in, the X
// server and the tools that stand in for a person's hands. Every child is
// killed and reaped when its owner goes away, and dies with the test process
// if that dies first, so no run leaves anything behind. Every wait is bounded.
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace lumigrab::testing {

// An environment as "NAME=value" entries.
using Environment = std::vector<std::string>;

// `env` with `name` removed.
Environment Without(Environment env, const std::string& name);
// `env` with `name` set to `value` (replacing any earlier entry).
Environment With(Environment env, const std::string& name, const std::string& value);
Environment CurrentEnvironment();

// True when the program can be found in PATH.
bool HaveTool(const std::string& program);

struct ChildStart {
    // Stays open in the child under the same number when not -1.
    int keepFd = -1;
    // stdout comes back through readLine(); otherwise it goes to /dev/null.
    bool captureStdout = false;
};

class Child {
public:
    // Starts argv[0] (looked up in PATH when it has no slash) with exactly
    // `env`; stdin and stderr go to /dev/null. pid() is -1 when the start failed.
    explicit Child(const std::vector<std::string>& argv, const Environment& env = CurrentEnvironment(),
                   ChildStart start = {});
    ~Child();  // SIGKILL and reap if still running
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    void signal(int sig);
    // The raw wait status, or nullopt when it is still running after `limit`.
    std::optional<int> waitStatus(std::chrono::milliseconds limit);
    // The exit code, 128 + signal number for a killed child, or nullopt when
    // it is still running after `limit`.
    std::optional<int> waitExit(std::chrono::milliseconds limit);
    // The next line the child printed (captureStdout), without its newline;
    // "" when none came within `limit`. Lines are at most 64 KiB.
    std::string readLine(std::chrono::milliseconds limit);

private:
    void poll();

    pid_t pid_ = -1;
    int out_ = -1;
    std::string pending_;
    std::optional<int> status_;
};

struct ToolResult {
    int exitCode = -1;       // -1: not started or did not end within the limit
    std::string output;      // stdout (and stderr when asked), at most 64 KiB
};

// Runs a tool to its end within `limit` and returns what it printed on
// stdout, and on stderr too with `withStderr`.
ToolResult RunTool(const std::vector<std::string>& argv, const Environment& env = CurrentEnvironment(),
                   std::chrono::milliseconds limit = std::chrono::seconds(15),
                   bool withStderr = false);

}  // namespace lumigrab::testing
