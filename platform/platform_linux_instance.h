#pragma once
// Linux side of the single-instance guard. The marker is a listening Unix
// socket in the abstract namespace: the kernel removes the name the moment the
// holding process ends, however it ends, so no stale marker can outlive a
// crash. The same socket carries a second copy's request to raise the window.
//
// The name alone identifies the program: no process-table walk and no
// executable-name comparison is needed here.
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/file_io.h"
#include "platform/single_instance.h"

namespace lumigrab {

// The request a later copy sends, and the answer once the window is raised.
inline constexpr std::string_view kRaiseRequest = "raise\n";
inline constexpr std::string_view kRaiseDone = "done\n";

class LinuxInstanceMarker : public InstanceMarker {
public:
    // `readLimit`: how long one connection may take to deliver its request
    // before it is dropped, so a stuck or hostile client cannot hold up the
    // requests behind it.
    explicit LinuxInstanceMarker(std::chrono::milliseconds readLimit = std::chrono::seconds(2));
    ~LinuxInstanceMarker() override;  // releases the name and stops the listener

    MarkerState openOrCreate(const Text& name, std::function<void()> onRaiseRequest) override;

    // Connections accepted, and raise requests carried out, so far.
    int connectionsSeen() const { return connections_.load(); }
    int requestsServed() const { return served_.load(); }

private:
    void listen();
    void serve(UniqueFd client);

    std::chrono::milliseconds readLimit_;
    std::function<void()> onRaise_;
    UniqueFd socket_;
    UniqueFd stopRead_, stopWrite_;
    std::thread listener_;
    std::atomic<int> connections_{0};
    std::atomic<int> served_{0};
};

class LinuxWindowActivator : public WindowActivator {
public:
    // Asks the marker's holder to raise its window and waits for its answer.
    // False at once when nobody holds the name; false at `limit` when the
    // holder does not answer (its window thread busy, a hidden window that
    // will not come forward). Waits sleep in poll(); nothing spins.
    bool bringForward(const Text& markerName, std::chrono::milliseconds limit) override;
};

}  // namespace lumigrab
