#pragma once
// Only one copy of the program runs at a time. The first copy to reach its
// first window activation takes a named marker and keeps it for its whole
// life; a later copy finds the marker taken, tells the user, asks the first
// copy to bring its window forward, and ends itself.
//
// The guard is platform-free; the two platform concerns are behind the
// interfaces below (Linux: platform/platform_linux_instance.h).
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "port/window_port.h"
#include "text/text.h"

namespace lumigrab {

// The marker's name: the GBK bytes of "这个写了怎么没有用".
Text InstanceMarkerName();

// How long a second copy keeps trying to bring the first copy's window
// forward before it gives up and ends anyway.
inline constexpr std::chrono::milliseconds kBringForwardLimit{10000};

enum class MarkerState {
    Created,       // this process now holds the marker
    HeldByOther,   // another running copy holds it
    Unavailable,   // the platform refused both; treated as a first copy
};

// "Open or create the named marker". The marker lives exactly as long as the
// object that created it, which the program keeps for its whole life, so it
// disappears with the process.
class InstanceMarker {
public:
    virtual ~InstanceMarker() = default;
    // When the result is Created, `onRaiseRequest` is called, on a thread of
    // the marker's own, each time another copy asks for this copy's window.
    virtual MarkerState openOrCreate(const Text& name, std::function<void()> onRaiseRequest) = 0;
};

// "Bring the other copy's window forward." Returns whether the other copy
// confirmed it; never blocks longer than `limit`.
class WindowActivator {
public:
    virtual ~WindowActivator() = default;
    virtual bool bringForward(const Text& markerName, std::chrono::milliseconds limit) = 0;
};

// The guard. `raiseOwnWindow` restores, raises and activates this copy's main
// window; it is run on the window thread (through window.runOnWindowThread)
// whenever a later copy asks. `window` must outlive `marker`.
//
// Returns the exit code to end this process with through its normal end
// sequence (always 0, for a second copy), or nullopt when this copy runs on.
std::optional<int> GuardSingleInstance(WindowPort& window, InstanceMarker& marker,
                                       WindowActivator& activator,
                                       std::function<void()> raiseOwnWindow,
                                       std::chrono::milliseconds limit = kBringForwardLimit);

// The same with this platform's marker and activator. The marker is kept for
// the rest of the process (it is the proof that this copy runs). Call once,
// from the first-activation handler, on the window thread.
std::optional<int> GuardSingleInstance(WindowPort& window, std::function<void()> raiseOwnWindow);

}  // namespace lumigrab
