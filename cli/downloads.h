#pragma once
// The command's download of a run's records: the download batch every front
// end runs, with its results written into the records and onto the console.
#include <cstddef>
#include <memory>
#include <vector>

#include "workers/worker_gang.h"
#include "cli/console.h"
#include "cli/manifest.h"
#include "download/batch.h"

namespace lumigrab::cli {

// The manifest's word for why a fetch did not save a picture; empty when it did.
std::string FailureReason(const PictureFetch& fetch);

// Fetches the entries at `todo` (indexes into *entries) from their address,
// or their thumbnail address with `thumbnails`, into the run's folder.
// Entries that share the address are fetched once and saved under every
// name. Entries not reached before the gang is stopped are marked failed,
// "stopped". Returns once every fetch it started has ended.
struct DownloadSettings {
    bool thumbnails = false;
    int threads = kDefaultWorkerLimit;
    int retries = 0;
    int perHost = 0;
};
void Download(const std::shared_ptr<std::vector<Entry>>& entries,
              const std::vector<std::size_t>& todo, const ManifestRun& run,
              const DownloadSettings& settings, WorkerGang& gang, Console& console);

}  // namespace lumigrab::cli
