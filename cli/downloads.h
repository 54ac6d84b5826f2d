#pragma once
// The command's download of a run's records: the download batch every front
// end runs, with its results written into the records and onto the console.
#include <chrono>
#include <cstddef>
#include <memory>
#include <vector>

#include "workers/worker_gang.h"
#include "cli/archive.h"
#include "cli/console.h"
#include "cli/manifest.h"
#include "download/batch.h"

namespace lumigrab::cli {

// What a picture must be to be kept, judged from its bytes; zero and empty
// rule nothing out.
struct PictureRules {
    int minWidth = 0;
    int minHeight = 0;
    std::vector<PictureFormat> types;
    std::uint64_t minBytes = 0;
    std::uint64_t maxBytes = 0;

    bool any() const { return minWidth > 0 || minHeight > 0 || !types.empty() || minBytes > 0 || maxBytes > 0; }
};

// The rule a picture breaks, in words ("300x200 below 500 wide"); empty when
// it breaks none.
std::string BrokenRule(const PictureRules& rules, const PictureFacts& facts);

// The download of a run's records, fed while the harvest runs: records are
// added a page at a time and fetched from their address, or their thumbnail
// address with `thumbnails`, into the run's folder. Records that share an
// address are fetched once and saved under every name. Records not reached
// before the gang is stopped are marked failed, "stopped".
// With an archive, an address it holds is not fetched (passed over), a
// picture it or this run already holds is not written (not kept, a duplicate),
// and every record reached gets its row. Pictures breaking `rules` are not
// written (not kept, filtered). With `saveAtMost`, no picture is fetched once
// that many are saved, nor while the fetches under way could make it so.
// With `writeMetadata`, each saved picture gets its record beside it, in
// <picture file>.json.
struct DownloadSettings {
    bool thumbnails = false;
    int threads = kDefaultWorkerLimit;
    int retries = 0;
    int perHost = 0;
    PictureRules rules;
    Archive* archive = nullptr;  // may be null
    std::size_t saveAtMost = 0;  // 0: no bound
    bool writeMetadata = false;
};

class Downloads {
public:
    // Starts the workers in `gang`; `console` counts what they finish.
    Downloads(const ManifestRun& run, const DownloadSettings& settings, WorkerGang& gang, Console& console);
    ~Downloads();
    Downloads(const Downloads&) = delete;
    Downloads& operator=(const Downloads&) = delete;

    // Adds `records` after those already added; those at `fetch` (indexes
    // into `records`, increasing) are fetched, the others kept as they are.
    void add(std::vector<Entry> records, const std::vector<std::size_t>& fetch);
    // After the last add: waits until every fetch has ended and hands back
    // the records in the order added. Records a met bound left unreached
    // are left out when `dropUnreached`, else kept as they were.
    struct Outcome {
        std::vector<Entry> entries;
        std::size_t fetched = 0;  // records given to fetch that the run reached or a stop cut off
        bool recorded = true;     // false when an archive row could not be added
    };
    Outcome finish(bool dropUnreached);

    // How many records were given to fetch, and of them how many are done
    // and how many were saved.
    std::size_t given() const;
    std::size_t ended() const;
    std::size_t saved() const;
    // Waits until a record ends, or `timeout` passes.
    void waitForChange(std::chrono::milliseconds timeout) const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace lumigrab::cli
