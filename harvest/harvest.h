#pragma once
// The harvest: a keyword and a depth become result-page requests, and the
// pictures they list become rows of the result list.
//
// One run at a time (its button stays disabled while it lasts). The click
// handler checks the inputs and starts a controller thread; the controller
// starts one detached page worker per result page, at most N at once (the next
// the moment one finishes), and ends after starting the last one. The page
// worker that finishes the last page closes the run. Nothing is ever joined.
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "port/window_port.h"
#include "workers/worker_gang.h"
#include "harvest/result_page.h"

namespace lumigrab {

// What the threads of one run share. Each thread holds it by shared_ptr, so it
// lives until the last of them lets go, however the runs overlap.
struct HarvestRun {
    explicit HarvestRun(Text origin, DetachedThreads threads = {})
        : serviceOrigin(std::move(origin)), pageWorkers(std::move(threads)) {}

    const Text serviceOrigin;
    WorkerGang pageWorkers;

    // Held while a page appends its rows, so each page's rows form one block
    // and the positions in the save names run on without gaps.
    std::mutex listLock;
    // Guards the count below and makes "step and test for the end" one unit.
    std::mutex countLock;
    int pagesFinished = 0;
    // Lines saying a page could not be read. The run's end empties the log,
    // so they are written again after its closing lines.
    std::vector<Text> unreadablePageLines;

    // Set by the controller before its first page worker starts.
    int pageCount = 0;
};

// Process-wide: the current run and the settings tests change.
class HarvestState {
public:
    // Counts every page worker of every run, for whoever must wait until
    // they are all gone.
    DetachedThreads threads;
    // Scheme and host of the image-search service; the program never changes it.
    Text serviceOrigin{kServiceOrigin};

    std::shared_ptr<HarvestRun> currentRun() const;
    void setCurrentRun(std::shared_ptr<HarvestRun> run);

private:
    mutable std::mutex mutex_;
    std::shared_ptr<HarvestRun> run_;
};

// Click handler of the harvest button; window thread.
void StartHarvest(WindowPort& window, HarvestState& state);

// Entry of the controller thread of `run`.
void HarvestController(WindowPort& window, std::shared_ptr<HarvestRun> run);

// Entry of one page worker thread; pageIndex counts from 0.
void HarvestPage(WindowPort& window, std::shared_ptr<HarvestRun> run, std::int32_t pageIndex);

// Fetches one page, appends its rows and counts the page as finished.
// Empty width, height or offset take their defaults (see BuildResultPageUrl).
void ParseResultPage(WindowPort& window, HarvestRun& run, std::string_view width,
                     std::string_view height, std::string_view offset,
                     std::string_view keyword);

// Counts one page as finished, whether its worker ran or could not be
// started: progress step and, for the last page, the end of the run.
void FinishPage(WindowPort& window, HarvestRun& run);

}  // namespace lumigrab
