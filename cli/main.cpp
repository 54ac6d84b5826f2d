// lumigrab-cli: the harvest and the download of the window program, from a
// terminal or a script. The core does the work; this file decides the order,
// the output and the exit code.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>

#include "cli/console.h"
#include "cli/downloads.h"
#include "cli/manifest.h"
#include "cli/options.h"
#include "cli/service.h"
#include "download/save_folder.h"
#include "text/encoding.h"

namespace lumigrab::cli {
namespace {

// Signals are blocked in every thread and taken here, one at a time, so none
// of the work runs inside a signal handler. The first stops the gang: no new
// page or picture starts and the transfers in flight end; the run then
// finishes its manifest. The second ends the process at once. SIGUSR1 only
// ends the watcher, once the run is over and the process is about to return.
constexpr int kEndWatch = SIGUSR1;

void WatchSignals(sigset_t signals, WorkerGang gang, std::shared_ptr<Console> console,
                  std::shared_ptr<std::atomic<int>> caught,
                  std::shared_ptr<std::atomic<bool>> ending, DetachedThreads& threads) {
    sigaddset(&signals, kEndWatch);
    threads.start([signals, gang, console, caught, ending]() mutable {
        for (;;) {
            int signal = 0;
            if (sigwait(&signals, &signal) != 0) continue;
            if (signal == kEndWatch) {
                if (ending->load()) return;
                continue;  // not ours: the run goes on
            }
            if (caught->exchange(signal) != 0) std::_Exit(128 + signal);
            gang.stop();
            console->note("stopping: nothing new starts, transfers under way end (Ctrl-C again to quit at once)");
        }
    });
}

std::vector<Entry> EntriesOf(const std::vector<ImageRecord>& records,
                             const std::filesystem::path& folder) {
    std::vector<Entry> entries;
    entries.reserve(records.size());
    for (const ImageRecord& record : records) {
        Entry entry;
        entry.saveName = record.saveName;
        entry.path = PicturePath(folder, record.saveName).string();
        entry.address = record.address;
        entry.thumbnail = record.thumbnail;
        entry.width = record.width;
        entry.height = record.height;
        entries.push_back(std::move(entry));
    }
    return entries;
}

// An ok entry whose file is gone, or no longer the size it was, is not done.
bool StillSaved(const Entry& entry) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(entry.path, ec);
    return entry.ok && !ec && size == entry.bytes;
}

std::string Plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

int Run(const Options& options) {
    // Shared with the signal thread, which outlives this function.
    const auto shared = std::make_shared<Console>(::isatty(STDOUT_FILENO) == 1, options.quiet);
    Console& console = *shared;

    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP, kEndWatch}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    sigdelset(&signals, kEndWatch);
    // Writes to a reader that went away fail instead of ending the run.
    if (!options.listOnly) ::signal(SIGPIPE, SIG_IGN);
    WorkerGang gang;
    auto caught = std::make_shared<std::atomic<int>>(0);
    DetachedThreads watcher;
    auto ending = std::make_shared<std::atomic<bool>>(false);
    WatchSignals(signals, gang, shared, caught, ending, watcher);
    // Whatever way the run ends, the watcher goes with it.
    struct EndWatch {
        DetachedThreads& watcher;
        std::atomic<bool>& ending;
        ~EndWatch() {
            ending.store(true);
            ::kill(::getpid(), kEndWatch);
            watcher.waitIdle(std::chrono::seconds(5));
        }
    } endWatch{watcher, *ending};
    const auto stoppedExit = [&] { return 128 + caught->load(); };

    auto entries = std::make_shared<std::vector<Entry>>();
    std::vector<std::size_t> todo;
    int pageProblems = 0;
    std::error_code ec;
    const bool resuming = options.resume && std::filesystem::exists(*options.manifest, ec);
    if (resuming) {
        std::string error;
        auto read = ReadManifest(*options.manifest, error);
        if (!read) {
            console.error("cannot resume: " + error);
            return kExitBadArguments;
        }
        *entries = std::move(*read);
        std::set<std::filesystem::path> folders;
        for (std::size_t i = 0; i < entries->size(); ++i) {
            if (StillSaved((*entries)[i])) continue;
            todo.push_back(i);
            folders.insert(std::filesystem::path((*entries)[i].path).parent_path());
        }
        for (const auto& folder : folders)
            if (!folder.empty()) std::filesystem::create_directories(folder, ec);
        console.note("resuming " + options.manifest->string() + ": " +
                     Plural(todo.size(), "picture", "pictures") + " of " +
                     std::to_string(entries->size()) + " still to fetch");
    } else {
        Harvest harvest = HarvestPages(options, gang);
        if (!harvest.frontPageNote.empty()) console.note(harvest.frontPageNote);
        if (!harvest.refusal.empty()) {
            console.error("the service refused the search: " + harvest.refusal);
            return kExitNoResultArray;
        }
        if (harvest.stopped) {
            console.error("stopped during the harvest; nothing was downloaded");
            return stoppedExit();
        }
        if (harvest.pagesWithArray == 0) {
            console.error(harvest.pagesAnswered > 0
                              ? "the service answered without a result array:"
                              : "the service did not answer:");
            for (const std::string& problem : harvest.problems) console.error("  " + problem);
            return harvest.pagesAnswered > 0 ? kExitNoResultArray : kExitSomeFailed;
        }
        pageProblems = static_cast<int>(harvest.problems.size());
        for (const std::string& problem : harvest.problems)
            console.error("no result array on " + problem);

        if (options.listOnly) {
            for (const ImageRecord& r : harvest.records) {
                console.data(TabField(GbkToUtf8(r.saveName)) + "\t" + TabField(GbkToUtf8(r.address)) +
                             "\t" + TabField(GbkToUtf8(r.width)) + "\t" +
                             TabField(GbkToUtf8(r.height)) + "\t" + TabField(GbkToUtf8(r.thumbnail)));
            }
            return pageProblems > 0 ? kExitSomeFailed : kExitSaved;
        }
        if (!std::filesystem::create_directories(options.outFolder, ec) &&
            !std::filesystem::is_directory(options.outFolder)) {
            console.error("cannot make the folder " + options.outFolder.string() +
                          (ec ? ": " + ec.message() : std::string()));
            return kExitSomeFailed;
        }
        if (harvest.records.empty()) console.note("the result pages list no pictures");
        *entries = EntriesOf(harvest.records, options.outFolder);
        for (std::size_t i = 0; i < entries->size(); ++i) todo.push_back(i);
    }

    Download(entries, todo, DownloadSettings{options.thumbnails, options.threads, options.retries, options.perHost},
             gang, console);

    int exitCode = kExitSaved;
    if (options.manifest) {
        std::string error;
        if (!WriteManifest(*options.manifest, *entries, error)) {
            console.error("cannot write the manifest: " + error);
            exitCode = kExitSomeFailed;
        }
    }
    const int failed = console.failed();
    if (caught->load() != 0) {
        console.error("stopped: " + std::to_string(console.done() - failed) + " of " +
                      Plural(todo.size(), "picture", "pictures") + " saved");
        return stoppedExit();
    }
    if (failed > 0) {
        console.error(std::to_string(failed) + " of " + Plural(todo.size(), "picture", "pictures") +
                      " failed");
        exitCode = kExitSomeFailed;
    } else {
        console.note("saved " + Plural(todo.size(), "picture", "pictures") +
                     (resuming ? std::string() : " in " + options.outFolder.string()));
    }
    if (pageProblems > 0) exitCode = kExitSomeFailed;
    return exitCode;
}

}  // namespace
}  // namespace lumigrab::cli

int main(int argc, char** argv) {
    auto parsed = lumigrab::cli::ParseOptions(argc, argv);
    if (const int* code = std::get_if<int>(&parsed)) return *code;
    const int code = lumigrab::cli::Run(std::get<lumigrab::cli::Options>(parsed));
    // Returning runs static destructors and the libraries' exit handlers, which
    // free what a thread still running would use. Every run waits for its own
    // threads, so this wait is short; should one hang all the same, the
    // process ends without those handlers rather than under a live thread.
    if (!lumigrab::DetachedThreads::waitAllIdle(std::chrono::seconds(10))) {
        std::fflush(nullptr);
        std::_Exit(code);
    }
    return code;
}
