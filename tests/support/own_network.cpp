#include "support/own_network.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file_io.h"

namespace lumigrab::testing {
namespace {

std::string Failed(const std::string& what) { return what + ": " + std::strerror(errno); }

// One write of the whole text, as the id-map files want it.
bool WriteWhole(const char* path, const std::string& text) {
    UniqueFd fd(::open(path, O_WRONLY | O_CLOEXEC));
    return fd && ::write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

std::string MapOwnIds(uid_t uid, gid_t gid) {
    // An unprivileged process may map only its own ids, and its group only
    // once it has given up setgroups (absent before Linux 3.19).
    if (!WriteWhole("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1"))
        return Failed("writing /proc/self/uid_map");
    if (!WriteWhole("/proc/self/setgroups", "deny") && errno != ENOENT)
        return Failed("writing /proc/self/setgroups");
    if (!WriteWhole("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1"))
        return Failed("writing /proc/self/gid_map");
    return {};
}

// X servers put their sockets in this folder as well as among the abstract
// names, and one that finds its display's abstract name free takes the
// display, replacing a socket of that name in the folder. In a network
// namespace of our own every abstract name is free, so without a folder of
// our own too the tests' X server would take the socket of the desktop's.
constexpr const char* kXSocketFolder = "/tmp/.X11-unix";

std::string PrivateXSocketFolder() {
    // Our mounts must not reach the machine's namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return Failed("making / private");
    // X makes the folder itself where it is missing; it must be there to be covered.
    if (::mkdir(kXSocketFolder, 01777) == 0) ::chmod(kXSocketFolder, 01777);
    if (::mount("tmpfs", kXSocketFolder, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=1777,size=1m") != 0)
        return Failed(std::string("mounting a folder of its own on ") + kXSocketFolder);
    return {};
}

std::string Enter() {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    // Root makes them directly and stays root on the machine's files.
    constexpr int kOwn = CLONE_NEWNET | CLONE_NEWNS;
    if (::unshare(kOwn) != 0) {
        const std::string direct = Failed("unshare(CLONE_NEWNET | CLONE_NEWNS)");
        if (::unshare(CLONE_NEWUSER | kOwn) != 0)
            return direct + "; " + Failed("unshare(CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWNS)");
        if (std::string problem = MapOwnIds(uid, gid); !problem.empty()) return problem;
    }
    if (std::string problem = PrivateXSocketFolder(); !problem.empty()) return problem;
    // A new namespace's loopback interface is down: nothing on 127.0.0.1
    // would answer.
    UniqueFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!probe) return Failed("socket in the new namespace");
    ifreq loopback{};
    std::strncpy(loopback.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(probe.get(), SIOCGIFFLAGS, &loopback) != 0) return Failed("reading the flags of lo");
    loopback.ifr_flags = static_cast<short>(loopback.ifr_flags | IFF_UP);
    if (::ioctl(probe.get(), SIOCSIFFLAGS, &loopback) != 0) return Failed("bringing lo up");
    return {};
}

// A namespace entered and then left unusable (no ids mapped, lo down, as where
// a security module withholds the new namespace's capabilities) could not be
// left again, and every test of the program would suffer, not only those
// that want it. So a child tries first, and only what worked there is done.
std::string EnterOwnNetwork() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return Failed("pipe");
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    const pid_t child = ::fork();
    if (child < 0) return Failed("fork");
    if (child == 0) {
        const std::string problem = Enter();
        [[maybe_unused]] ssize_t n = ::write(writeEnd.get(), problem.data(), problem.size());
        ::_exit(problem.empty() ? 0 : 1);
    }
    writeEnd.reset();
    std::string problem;
    char buffer[256];
    for (ssize_t n; (n = ::read(readEnd.get(), buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        problem.append(buffer, static_cast<std::size_t>(n));
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return problem.empty() ? "the trial in a child process failed" : problem;
    return Enter();
}

// Before main: a user namespace can only be entered by a process of one
// thread, and every thread and child started later must be inside too.
const std::string problem = [] {
    const std::string why = EnterOwnNetwork();
    return why.empty() ? why
                       : "no network namespace of its own, so a copy of lumigrab running on this machine would "
                         "hold the single-copy marker: " + why;
}();

}  // namespace

const std::string& OwnNetworkProblem() { return problem; }

}  // namespace lumigrab::testing
