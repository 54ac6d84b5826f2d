#include "support/x_desktop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "platform/single_instance.h"
#include "support/files.h"

namespace lumigrab::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

// Closes a pipe end once.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::unique_ptr<VirtualDisplay> VirtualDisplay::Start(std::chrono::milliseconds limit) {
    if (!HaveTool("Xvfb")) return nullptr;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return nullptr;
    Fd readEnd{ends[0]};
    Fd writeEnd{ends[1]};
    auto server = std::make_unique<Child>(
        std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(writeEnd.fd), "-screen", "0",
                                 "1280x1024x24", "-nolisten", "tcp", "-noreset"},
        Without(CurrentEnvironment(), "DISPLAY"), ChildStart{.keepFd = writeEnd.fd});
    ::close(writeEnd.fd);
    writeEnd.fd = -1;
    if (server->pid() < 0) return nullptr;

    // Xvfb writes the number once it accepts clients.
    std::string number;
    const auto deadline = Clock::now() + limit;
    while (number.find('\n') == std::string::npos && number.size() < 16) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return nullptr;
        pollfd fd{readEnd.fd, POLLIN, 0};
        int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return nullptr;
        char buffer[16];
        ssize_t n = ::read(readEnd.fd, buffer, sizeof buffer);
        if (n <= 0) return nullptr;
        number.append(buffer, static_cast<std::size_t>(n));
    }
    number = number.substr(0, number.find('\n'));
    if (number.empty() || !server->running()) return nullptr;
    return std::unique_ptr<VirtualDisplay>(new VirtualDisplay(std::move(server), ":" + number));
}

bool InstanceMarkerHeld() {
    return ReadText("/proc/net/unix").find("@" + InstanceMarkerName() + "\n") != std::string::npos;
}

Environment OnDisplay(const std::string& display, Environment env) {
    return With(Without(std::move(env), "QT_QPA_PLATFORM"), "DISPLAY", display);
}

Hands::Hands(std::string display) : env_(OnDisplay(display)) {}

ToolResult Hands::xdotool(std::vector<std::string> args) const {
    args.insert(args.begin(), "xdotool");
    return RunTool(args, env_);
}

std::vector<std::string> Hands::windows(int pid, const std::string& title) const {
    // --all: by default xdotool matches windows that meet any one condition.
    auto found = xdotool({"search", "--all", "--onlyvisible", "--pid", std::to_string(pid),
                          "--name", "^" + title + "$"});
    return found.exitCode == 0 ? Lines(found.output) : std::vector<std::string>{};
}

std::vector<std::string> Hands::allWindows(int pid) const {
    return Lines(xdotool({"search", "--all", "--pid", std::to_string(pid), "--name", ""}).output);
}

std::string Hands::focusedWindow() const {
    auto lines = Lines(xdotool({"getwindowfocus", "-f"}).output);
    return lines.empty() ? std::string() : lines.front();
}

std::optional<WindowGeometry> Hands::geometry(const std::string& window) const {
    auto shown = xdotool({"getwindowgeometry", "--shell", window});
    if (shown.exitCode != 0) return std::nullopt;
    WindowGeometry g;
    int seen = 0;
    for (const auto& line : Lines(shown.output)) {
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string name = line.substr(0, eq);
        const int value = std::atoi(line.c_str() + eq + 1);
        if (name == "X") g.x = value, ++seen;
        if (name == "Y") g.y = value, ++seen;
        if (name == "WIDTH") g.width = value, ++seen;
        if (name == "HEIGHT") g.height = value, ++seen;
    }
    if (seen != 4) return std::nullopt;
    return g;
}

bool Hands::click(int x, int y) const {
    return xdotool({"mousemove", "--sync", std::to_string(x), std::to_string(y), "click", "1"})
               .exitCode == 0;
}

bool Hands::focus(const std::string& window) const {
    return xdotool({"windowfocus", "--sync", window}).exitCode == 0;
}

bool Hands::type(const std::string& text) const {
    return xdotool({"type", "--delay", "30", text}).exitCode == 0;
}

bool Hands::key(const std::string& keys) const {
    return xdotool({"key", "--delay", "60", keys}).exitCode == 0;
}

bool Hands::keyAlone(const std::string& keys) const {
    return xdotool({"key", "--clearmodifiers", keys}).exitCode == 0;
}

bool Hands::screenshot(const std::string& path) const {
    return RunTool({"import", "-window", "root", path}, env_).exitCode == 0;
}

}  // namespace lumigrab::testing
