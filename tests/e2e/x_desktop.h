#pragma once
// A private X server (Xvfb) and the hands of a person in front of it
// (xdotool): find a window, click at a point, type, press keys.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "e2e/child.h"

namespace lumigrab::e2e {

// True when the program can be found in PATH.
bool HaveTool(const std::string& program);

class VirtualDisplay {
public:
    // Xvfb picks a free display number itself (-displayfd), so two test
    // programs can never race for one. nullptr when it does not come up.
    static std::unique_ptr<VirtualDisplay> Start(std::chrono::milliseconds limit);

    const std::string& name() const { return name_; }  // ":NN"

private:
    VirtualDisplay(std::unique_ptr<Child> server, std::string name)
        : server_(std::move(server)), name_(std::move(name)) {}

    std::unique_ptr<Child> server_;
    std::string name_;
};

struct WindowGeometry {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

class Hands {
public:
    explicit Hands(std::string display);

    // Visible windows of `pid` whose title is exactly `title`.
    std::vector<std::string> windows(int pid, const std::string& title) const;
    std::optional<WindowGeometry> geometry(const std::string& window) const;
    // A left click at a screen position.
    bool click(int x, int y) const;
    // Gives a window the keyboard focus, as a click on its title would.
    bool focus(const std::string& window) const;
    // Types ASCII text into whatever has the keyboard focus.
    bool type(const std::string& text) const;
    // Key names as xdotool spells them ("Down", "ctrl+a").
    bool key(const std::string& keys) const;
    // The whole screen as a PNG file, for looking at a failed run.
    bool screenshot(const std::string& path) const;

private:
    ToolResult xdotool(std::vector<std::string> args) const;

    Environment env_;
};

}  // namespace lumigrab::e2e
