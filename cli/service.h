#pragma once
// The command's harvest: the session every front end runs, with its pages
// gathered in page order into records with save names.
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli/manifest.h"
#include "cli/options.h"
#include "harvest/session.h"

namespace lumigrab::cli {

struct Harvest {
    std::vector<Entry> records;        // in page order, save names composed
    int pagesWithArray = 0;
    int pagesAnswered = 0;             // a response came, array or not
    std::vector<std::string> problems; // one line per page without an array
    std::vector<std::string> notes;    // pictures a page listed that were left out
    std::string frontPageNote;         // why the session has no cookies, if it has none
    std::string refusal;               // "page N refused: <the service's words>", if it refused
    bool stopped = false;              // the gang was stopped before the end
    std::size_t listed = 0;            // records made, wherever they went
};

// Where the records go when the download runs beside the harvest.
struct HarvestFeed {
    // Each page's records, as soon as the page is in (never empty).
    std::function<void(std::vector<Entry> records)> records;
    enum class Need { More, Enough, Wait };
    // Before each page: whether it is needed, given the pages asked for and
    // not yet in and the most records one page has listed (0: none in yet).
    // Empty: every page is.
    std::function<Need(int inFlight, std::size_t perPage)> need;
    // Waits a while for what `need` looks at to change.
    std::function<void()> wait;
};

// What one search of a run hands the next: they are one session with the
// service, as a browser's tabs would be.
struct SharedSession {
    std::optional<CookieJar> frontPageCookies;  // once the front page was visited
    std::chrono::steady_clock::time_point nextRequestAt{};
};

// Reads options.depth result pages of options.keyword, at most
// options.threads at once, after the front-page visit unless options.warmUp
// is off or `shared` holds its cookies, from options.source. Waits for every
// page, and leaves in `shared` what the next search goes on with. With
// `feed`, the records go there instead of into Harvest::records, and asking
// ends at the first page that lists none or when `feed` has enough.
Harvest HarvestPages(const Options& options, WorkerGang& gang, SharedSession& shared, const HarvestFeed& feed = {});

}  // namespace lumigrab::cli
