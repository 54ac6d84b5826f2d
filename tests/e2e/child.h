#pragma once
// Programs started by the end-to-end tests: the X server, the program under
// test and the xdotool calls that stand in for a person's hands. Every child
// is killed and reaped when its owner goes away, and dies with the test
// process if that dies first, so no run leaves anything behind.
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace lumigrab::e2e {

// An environment as "NAME=value" entries.
using Environment = std::vector<std::string>;

// This process's environment with `name` removed.
Environment Without(Environment env, const std::string& name);
// `env` with `name` set to `value` (replacing any earlier entry).
Environment With(Environment env, const std::string& name, const std::string& value);
Environment CurrentEnvironment();

class Child {
public:
    // Starts argv[0] (looked up in PATH when it has no slash) with exactly
    // `env`. `keepFd`, when not -1, stays open in the child under the same
    // number; stdin, stdout and stderr go to /dev/null. pid() is -1 when the
    // start failed.
    Child(const std::vector<std::string>& argv, const Environment& env, int keepFd = -1);
    ~Child();  // SIGKILL and reap if still running
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    void signal(int sig);
    // The exit code, 128 + signal number for a killed child, or nullopt when
    // it is still running after `limit`.
    std::optional<int> waitExit(std::chrono::milliseconds limit);

private:
    void poll();

    pid_t pid_ = -1;
    std::optional<int> status_;
};

struct ToolResult {
    int exitCode = -1;       // -1: not started or did not end within the limit
    std::string output;      // stdout (and stderr when asked), at most 64 KiB
};

// Runs a tool to its end within `limit` and returns what it printed on
// stdout, and on stderr too with `withStderr`.
ToolResult RunTool(const std::vector<std::string>& argv, const Environment& env,
                   std::chrono::milliseconds limit = std::chrono::seconds(15),
                   bool withStderr = false);

}  // namespace lumigrab::e2e
