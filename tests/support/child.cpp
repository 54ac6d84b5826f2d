#include "support/child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <thread>

extern char** environ;

namespace lumigrab::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kMaxOutput = 64 * 1024;

bool SameName(const std::string& entry, const std::string& name) {
    return entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
           entry[name.size()] == '=';
}

std::vector<std::string> PathFolders() {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/local/bin:/usr/bin:/bin");
    std::vector<std::string> folders;
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (!dir.empty()) folders.push_back(dir);
    }
    return folders;
}

// PATH lookup happens here, before fork: between fork and exec the child of a
// threaded process may only make async-signal-safe calls.
std::string Resolve(const std::string& program) {
    if (program.find('/') != std::string::npos) return program;
    for (const std::string& dir : PathFolders()) {
        std::string candidate = dir + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return program;
}

std::vector<char*> Pointers(const std::vector<std::string>& items) {
    std::vector<char*> out;
    out.reserve(items.size() + 1);
    for (const auto& item : items) out.push_back(const_cast<char*>(item.c_str()));
    out.push_back(nullptr);
    return out;
}

// Forks and execs; in the child, stdout goes to `outFd` (or /dev/null), and
// stderr too with `errToOut`, and `keepFd` survives the exec.
pid_t Spawn(const std::vector<std::string>& argv, const Environment& env, int outFd,
            int keepFd, bool errToOut = false) {
    if (argv.empty()) return -1;
    const std::string path = Resolve(argv[0]);
    std::vector<char*> args = Pointers(argv);
    std::vector<char*> envp = Pointers(env);
    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid != 0) return pid;

    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(outFd >= 0 ? outFd : null, 1);
    ::dup2(errToOut && outFd >= 0 ? outFd : null, 2);
    if (keepFd >= 0) {
        int flags = ::fcntl(keepFd, F_GETFD);
        ::fcntl(keepFd, F_SETFD, flags & ~FD_CLOEXEC);
    }
    ::execve(path.c_str(), args.data(), envp.data());
    ::_exit(127);
}

int DecodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

int MillisLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(left.count(), 0));
}

}  // namespace

Environment CurrentEnvironment() {
    Environment env;
    for (char** entry = environ; entry && *entry; ++entry) env.emplace_back(*entry);
    return env;
}

Environment Without(Environment env, const std::string& name) {
    std::erase_if(env, [&](const std::string& entry) { return SameName(entry, name); });
    return env;
}

Environment With(Environment env, const std::string& name, const std::string& value) {
    env = Without(std::move(env), name);
    env.push_back(name + "=" + value);
    return env;
}

bool HaveTool(const std::string& program) {
    for (const std::string& dir : PathFolders()) {
        if (::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

Child::Child(const std::vector<std::string>& argv, const Environment& env, ChildStart start) {
    int out[2] = {-1, -1};
    if (start.captureStdout && ::pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = Spawn(argv, env, out[1], start.keepFd);
    if (out[1] >= 0) ::close(out[1]);
    out_ = out[0];
}

Child::~Child() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
}

void Child::poll() {
    int status = 0;
    if (pid_ > 0 && !status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
}

bool Child::running() {
    poll();
    return pid_ > 0 && !status_;
}

void Child::signal(int sig) {
    if (running()) ::kill(pid_, sig);
}

std::optional<int> Child::waitStatus(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (running() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status_;
}

std::optional<int> Child::waitExit(std::chrono::milliseconds limit) {
    const auto status = waitStatus(limit);
    if (!status) return std::nullopt;
    return DecodeStatus(*status);
}

std::string Child::readLine(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::size_t newline;
    while ((newline = pending_.find('\n')) == std::string::npos) {
        if (out_ < 0 || pending_.size() >= kMaxOutput) return "";
        pollfd fd{out_, POLLIN, 0};
        const int ready = ::poll(&fd, 1, MillisLeft(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return "";
        char buffer[512];
        const ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n <= 0) return "";
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
    std::string line = pending_.substr(0, newline);
    pending_.erase(0, newline + 1);
    return line;
}

ToolResult RunTool(const std::vector<std::string>& argv, const Environment& env,
                   std::chrono::milliseconds limit, bool withStderr) {
    ToolResult result;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return result;
    pid_t pid = Spawn(argv, env, out[1], -1, withStderr);
    ::close(out[1]);
    if (pid < 0) {
        ::close(out[0]);
        return result;
    }
    const auto deadline = Clock::now() + limit;
    bool timedOut = false;
    char buffer[4096];
    for (;;) {
        const int left = MillisLeft(deadline);
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd fd{out[0], POLLIN, 0};
        int ready = ::poll(&fd, 1, left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            timedOut = ready == 0;
            break;
        }
        ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        std::size_t room = kMaxOutput - result.output.size();
        result.output.append(buffer, std::min(room, static_cast<std::size_t>(n)));
    }
    ::close(out[0]);
    if (timedOut) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = timedOut ? -1 : DecodeStatus(status);
    return result;
}

}  // namespace lumigrab::testing
