#include "platform/single_instance.h"

#include <utility>

#include "platform/platform_linux_instance.h"
#include "text/encoding.h"

namespace lumigrab {

Text InstanceMarkerName() { return Gbk("这个写了怎么没有用"); }

std::optional<int> GuardSingleInstance(WindowPort& window, InstanceMarker& marker,
                                       WindowActivator& activator,
                                       std::function<void()> raiseOwnWindow,
                                       std::chrono::milliseconds limit) {
    Text name = InstanceMarkerName();
    auto onRaise = [&window, raise = std::move(raiseOwnWindow)] {
        if (raise) window.runOnWindowThread(raise);
    };
    // A platform that offers no marker at all cannot tell copies apart; this
    // copy then runs like a first one rather than refusing to start.
    if (marker.openOrCreate(name, onRaise) != MarkerState::HeldByOther) return std::nullopt;

    window.messageBox(Gbk("请不要重复运行以防出错"), Gbk("友情提醒:"), MessageIcon::None);
    // Whether or not the other window came forward, this copy ends.
    activator.bringForward(name, limit);
    return 0;
}

std::optional<int> GuardSingleInstance(WindowPort& window, std::function<void()> raiseOwnWindow) {
    // Never destroyed: the marker must outlive every window event, and its
    // socket closes with the process. Destroying it at exit would also wait
    // for the listener, which may itself be waiting on the window thread.
    static auto* marker = new LinuxInstanceMarker();
    LinuxWindowActivator activator;
    return GuardSingleInstance(window, *marker, activator, std::move(raiseOwnWindow));
}

}  // namespace lumigrab
