#include "cli/downloads.h"

#include <chrono>
#include <map>

#include "cli/file_hash.h"
#include "cli/service.h"
#include "download/save_folder.h"
#include "platform/file_io.h"
#include "net/http_request.h"

namespace lumigrab::cli {
namespace {

struct Job {
    Text url;
    std::vector<std::size_t> entries;  // the first one is fetched into
};

void Settle(Entry& entry, const std::string& reason, std::uint64_t bytes,
            const std::optional<std::string>& sha256) {
    entry.bytes = bytes;
    entry.ok = reason.empty();
    entry.reason = reason;
    entry.sha256 = entry.ok ? *sha256 : std::string();
}

void RunJob(std::vector<Entry>& entries, const Job& job, const std::atomic<bool>* cancel,
            Console& console) {
    Entry& first = entries[job.entries.front()];
    const PictureFetch fetch = FetchPicture(job.url, first.path, cancel);
    std::string reason = FailureReason(fetch);
    std::optional<std::string> sha256;
    if (reason.empty()) {
        sha256 = Sha256OfFile(first.path);
        if (!sha256) reason = "write failed";
    }
    Settle(first, reason, fetch.bytes, sha256);
    console.finished(first, job.url);
    if (job.entries.size() == 1) return;

    // The same picture under the other names: a copy, not a second fetch.
    std::optional<Bytes> bytes;
    if (reason.empty()) bytes = ReadFileBounded(first.path, kMaxResponseBody);
    for (std::size_t k = 1; k < job.entries.size(); ++k) {
        Entry& entry = entries[job.entries[k]];
        std::string copyReason = reason;
        if (copyReason.empty() && (!bytes || !WritePictureFile(entry.path, *bytes)))
            copyReason = "write failed";
        Settle(entry, copyReason, fetch.bytes, sha256);
        console.finished(entry, job.url);
    }
}

}  // namespace

std::string FailureReason(const PictureFetch& fetch) {
    using State = PictureFetch::State;
    switch (fetch.state) {
        case State::Saved: return {};
        case State::Cancelled: return "stopped";
        case State::WriteFailed: return "write failed";
        case State::FetchFailed:
        case State::NotPicture: break;
    }
    if (fetch.failure != HttpFailure::None) return std::string(FailureText(fetch.failure));
    if (fetch.state == State::FetchFailed) return "no response";
    if (fetch.status < 200 || fetch.status > 299) return "HTTP " + std::to_string(fetch.status);
    return "not a picture";
}

void Download(const std::shared_ptr<std::vector<Entry>>& entries,
              const std::vector<std::size_t>& todo, bool thumbnails, int threads,
              WorkerGang& gang, Console& console) {
    std::vector<Job> jobs;
    std::map<Text, std::size_t> jobOfUrl;
    for (std::size_t index : todo) {
        Entry& entry = (*entries)[index];
        Settle(entry, "stopped", 0, std::nullopt);
        const Text& url = thumbnails ? entry.thumbnail : entry.address;
        const auto [found, added] = jobOfUrl.try_emplace(url, jobs.size());
        if (added) jobs.push_back({url, {}});
        jobs[found->second].entries.push_back(index);
    }

    console.begin(static_cast<int>(todo.size()));
    const std::atomic<bool>* cancel = gang.cancelFlag();
    for (Job& job : jobs) {
        if (job.url.empty()) {
            for (std::size_t index : job.entries) {
                Settle((*entries)[index], "no address", 0, std::nullopt);
                console.finished((*entries)[index], job.url);
            }
            continue;
        }
        const auto start = gang.startWhenFree(threads, [entries, job, cancel, &console] {
            RunJob(*entries, job, cancel, console);
        });
        if (start == WorkerGang::Start::Stopped) break;
        if (start == WorkerGang::Start::Refused) {
            for (std::size_t index : job.entries) {
                Settle((*entries)[index], "no thread", 0, std::nullopt);
                console.finished((*entries)[index], job.url);
            }
        }
    }
    // Every entry belongs to one job and only that job's thread writes it;
    // waitIdle orders those writes before the caller reads them.
    while (!gang.waitIdle(std::chrono::milliseconds(500))) console.tick();
    console.end();
}

}  // namespace lumigrab::cli
