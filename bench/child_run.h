#pragma once
// Running one bench scenario in a forked child, so that its peak memory is
// its own, and handing its figures back through a pipe.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>

#include "platform/file_io.h"

namespace lumigrab::bench {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A scenario that has not ended by then is given up, and says so.
inline constexpr auto kGiveUp = 300s;

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
inline double Mb(double bytes) { return bytes / (1024.0 * 1024.0); }

struct Pipe {
    UniqueFd read, write;
    static Pipe Make() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
    }
};

// Reads exactly `size` bytes, or fails once the deadline passes or the
// writer closes its end.
inline bool ReadAll(int fd, void* out, std::size_t size, Clock::time_point deadline) {
    auto* at = static_cast<char*>(out);
    while (size > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd waiting{fd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        const ssize_t got = ::read(fd, at, size);
        if (got <= 0) return false;
        at += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

inline std::string LoadAverage() {
    std::string line;
    std::getline(std::ifstream("/proc/loadavg") >> std::ws, line);
    return line;
}

struct Figures {
    bool reported = false;   // false: the child died without a word
    bool gaveUp = false;
    int saved = 0;           // whole pictures written (rows, for a harvest)
    int asked = 0;
    double seconds = 0;
    double bytes = 0;
    double oneFetch = 0;     // harvest only: one page fetch, seconds
    long peakRssKb = 0;
    int exitCode = 0;        // curl only
};

inline long PeakRssKb() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

inline int g_reportFd = -1;

// Hands the figures to the parent and leaves at once: after a give-up, worker
// threads may still be using the objects a normal return would destroy.
[[noreturn]] inline void ReportAndExit(Figures figures) {
    figures.reported = true;
    const bool sent = ::write(g_reportFd, &figures, sizeof figures) == static_cast<ssize_t>(sizeof figures);
    std::_Exit(sent ? 0 : 1);
}

inline Figures InChild(const std::function<Figures()>& body) {
    Pipe report = Pipe::Make();
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return {};
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        report.read.reset();
        g_reportFd = report.write.get();
        try {
            ReportAndExit(body());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "bench child: %s\n", e.what());
            std::_Exit(1);
        }
    }
    report.write.reset();
    Figures figures;
    // The child gives up on its own; this only catches one that hangs anyway.
    if (!ReadAll(report.read.get(), &figures, sizeof figures, Clock::now() + kGiveUp + 60s)) {
        figures = Figures{};
        ::kill(pid, SIGKILL);
    }
    ::waitpid(pid, nullptr, 0);
    return figures;
}

}  // namespace lumigrab::bench
