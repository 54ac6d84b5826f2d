#pragma once
// The command's download of a run's records: the download batch every front
// end runs, with its results written into the records and onto the console.
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

// The manifest's word for why a fetch did not save a picture; empty when it did.
std::string FailureReason(const PictureFetch& fetch);

// Fetches the entries at `todo` (indexes into *entries) from their address,
// or their thumbnail address with `thumbnails`, into the run's folder.
// Entries that share the address are fetched once and saved under every
// name. Entries not reached before the gang is stopped are marked failed,
// "stopped". Returns once every fetch it started has ended.
// With an archive, an address it holds is not fetched (held "skipped"), a
// picture it or this run already holds is not written (held "duplicate"),
// and every entry reached gets its row. Pictures breaking `rules` are not
// written (held "filtered"). With `writeMetadata`, each saved picture gets
// its record beside it, in <picture file>.json. False when a row or a
// record could not be written.
struct DownloadSettings {
    bool thumbnails = false;
    int threads = kDefaultWorkerLimit;
    int retries = 0;
    int perHost = 0;
    PictureRules rules;
    Archive* archive = nullptr;  // may be null
    bool writeMetadata = false;
};
bool Download(const std::shared_ptr<std::vector<Entry>>& entries,
              const std::vector<std::size_t>& todo, const ManifestRun& run,
              const DownloadSettings& settings, WorkerGang& gang, Console& console);

}  // namespace lumigrab::cli
