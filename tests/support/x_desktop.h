#pragma once
// A private X server (Xvfb) and the hands of a person in front of it
// (xdotool): find a window, click at a point, type, press keys.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/child.h"

namespace lumigrab::testing {

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

// True while a copy of the program holds the single-copy marker of this
// process's network namespace: its name shows in the kernel's socket table,
// and looking does not disturb the holder.
bool InstanceMarkerHeld();

// The environment a program on `display` is started with: the X platform,
// not the offscreen one the window tests set.
Environment OnDisplay(const std::string& display, Environment env = CurrentEnvironment());

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
    // Every window of `pid`, shown or not.
    std::vector<std::string> allWindows(int pid) const;
    // The window that has the keyboard focus; empty when none.
    std::string focusedWindow() const;
    std::optional<WindowGeometry> geometry(const std::string& window) const;
    // A left click at a screen position.
    bool click(int x, int y) const;
    // Gives a window the keyboard focus, as a click on its title would.
    bool focus(const std::string& window) const;
    // Types ASCII text into whatever has the keyboard focus.
    bool type(const std::string& text) const;
    // Key names as xdotool spells them ("Down", "ctrl+a").
    bool key(const std::string& keys) const;
    // A key pressed with whatever modifiers are held released first.
    bool keyAlone(const std::string& keys) const;
    // The whole screen as a PNG file, for looking at a failed run.
    bool screenshot(const std::string& path) const;

private:
    ToolResult xdotool(std::vector<std::string> args) const;

    Environment env_;
};

}  // namespace lumigrab::testing
