#pragma once
// The window's harvest: the click on 按钮_获取图片地址 checks the inputs,
// reads every box the run needs once, and starts a harvest session (see
// harvest/session.h) whose pages land in the result list in page order. The
// page that completes the run empties the log, writes the closing lines and
// gives the button back. A run cannot be cancelled.
#include "port/window_port.h"
#include "workers/worker_gang.h"
#include "harvest/result_page.h"

namespace lumigrab {

// Process-wide harvest state.
struct HarvestState {
    // Counts every page worker of every run, for whoever must wait until
    // they are all gone.
    DetachedThreads threads;
    // Scheme and host of the image-search service; the program never changes it.
    Text serviceOrigin{kServiceOrigin};
    // The page workers of the newest run; stopped only when the program ends.
    WorkerGang workers{threads};
};

// Click handler of the harvest button; window thread. True when it emptied
// the result list, which every click does that passes the input checks.
bool StartHarvest(WindowPort& window, HarvestState& state);

}  // namespace lumigrab
