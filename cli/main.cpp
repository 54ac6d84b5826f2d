// lumigrab-cli: the harvest and the download of the window program, from a
// terminal or a script. The core does the work; this file decides the order,
// the output and the exit code.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <algorithm>
#include <map>
#include <memory>

#include "cli/archive.h"
#include "cli/console.h"
#include "cli/downloads.h"
#include "cli/manifest.h"
#include "cli/options.h"
#include "cli/service.h"
#include "net/http_request.h"
#include "platform/file_io.h"
#include "text/encoding.h"

namespace lumigrab::cli {
namespace {

// Signals are blocked in every thread and taken here, one at a time, so none
// of the work runs inside a signal handler. The first stops the gang: no new
// page or picture starts and the transfers in flight end; the run then
// finishes its manifest. The second ends the process at once, taking the
// run's temporary files with it. SIGUSR1 only ends the watcher, once the run
// is over and the process is about to return.
constexpr int kEndWatch = SIGUSR1;
// timeout(1) signals the process and then its whole group: the same signal
// from the same sender this soon after is the same request to stop.
constexpr auto kEchoWindow = std::chrono::seconds(2);

void WatchSignals(sigset_t signals, WorkerGang gang, WorkerGang pages, std::shared_ptr<Console> console,
                  std::shared_ptr<std::atomic<int>> caught,
                  std::shared_ptr<std::atomic<bool>> ending, DetachedThreads& threads) {
    sigaddset(&signals, kEndWatch);
    threads.start([signals, gang, pages, console, caught, ending]() mutable {
        pid_t firstSender = 0;
        std::chrono::steady_clock::time_point firstAt{};
        for (;;) {
            siginfo_t info{};
            const int signal = sigwaitinfo(&signals, &info);
            if (signal < 0) continue;
            if (signal == kEndWatch) {
                if (ending->load()) return;
                continue;  // not ours: the run goes on
            }
            const bool fromProcess = info.si_code == SI_USER || info.si_code == SI_QUEUE;
            const pid_t sender = fromProcess ? info.si_pid : 0;
            const auto now = std::chrono::steady_clock::now();
            if (const int first = caught->load(); first != 0) {
                if (signal == first && sender != 0 && sender == firstSender && now - firstAt < kEchoWindow)
                    continue;
                RemoveTemporaryFilesAndExit(128 + signal);
            }
            firstSender = sender;
            firstAt = now;
            // Told before the stop, so it comes before whatever the stop leads to.
            console->note("stopping: nothing new starts, transfers under way end (Ctrl-C again to quit at once)");
            caught->store(signal);
            pages.stop();
            gang.stop();
        }
    });
}

std::string OutputProblem(int error) { return std::string("cannot write to standard output: ") + std::strerror(error); }

// An ok entry whose file is gone, or no longer the size it was, is not done.
bool StillSaved(const Entry& entry, const std::filesystem::path& path) {
    struct stat info {};
    return entry.ok() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           static_cast<std::uint64_t>(info.st_size) == entry.bytes;
}

std::string Plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::filesystem::path FolderOf(const std::filesystem::path& file) {
    return file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
}

// Whether the pictures can go to `folder`, found before anything is fetched:
// it is a folder we can write in, or one we can make in the nearest folder
// that exists. Empty when they can; otherwise what is wrong, naming the path.
std::string OutFolderProblem(const std::filesystem::path& folder) {
    const std::string name = "the folder " + folder.string();
    struct stat info {};
    std::string why;
    if (::stat(folder.c_str(), &info) == 0) {
        if (!S_ISDIR(info.st_mode)) return name + " (-o) is not a folder";
        return CanCreateFilesIn(folder, &why) ? std::string() : "cannot save pictures in " + why;
    }
    if (errno != ENOENT) return name + ": " + std::strerror(errno);
    std::filesystem::path parent = folder;
    for (;;) {
        parent = FolderOf(parent.lexically_normal());
        if (::stat(parent.c_str(), &info) == 0) break;
        if (errno != ENOENT || parent == "." || parent == parent.root_path())
            return name + ": " + std::strerror(errno);
    }
    if (!S_ISDIR(info.st_mode)) return name + ": " + parent.string() + " is not a folder";
    return CanCreateFilesIn(parent, &why) ? std::string()
                                          : "cannot make " + name + ": " + why;
}

// The manifest (or the archive, `what`) must be a regular file or absent, in
// a folder we can write in (SQLite makes its own files beside the archive).
// Found with stat, which never opens (a FIFO would block an open).
std::string WritableFileProblem(const std::filesystem::path& file, const std::string& what) {
    const std::string name = what + " " + file.string();
    struct stat info {};
    if (::stat(file.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode)) return name + " is not a regular file";
    } else if (errno != ENOENT) {
        return name + ": " + std::strerror(errno);
    }
    const std::filesystem::path folder = FolderOf(file);
    if (::stat(folder.c_str(), &info) != 0) return "cannot write " + name + ": " + folder.string() + ": " + std::strerror(errno);
    if (!S_ISDIR(info.st_mode)) return "cannot write " + name + ": " + folder.string() + " is not a folder";
    std::string why;
    return CanCreateFilesIn(folder, &why) ? std::string() : "cannot write " + name + ": " + why;
}

// The archive's rows as a table: a line per keyword and a last line of all,
// a column per state; tab-separated, for people and scripts alike.
int PrintArchiveStats(const std::filesystem::path& file, bool stdoutOpen) {
    std::string error;
    // Asking about an archive never makes or changes one.
    const auto archive = Archive::Open(file, Archive::Use::Read, error);
    const auto counts = archive ? archive->Counts(error) : std::nullopt;
    if (!counts) {
        std::fprintf(stderr, "lumigrab-cli: %s\n", error.c_str());
        return kExitBadArguments;
    }
    static constexpr const char* kStates[] = {"ok", "skipped", "duplicate", "filtered", "failed"};
    std::string out = "keyword";
    for (const char* state : kStates) out += std::string("\t") + state;
    out += '\n';
    std::map<std::string, std::int64_t> all;
    for (const auto& [keyword, byState] : *counts) {
        out += TabField(keyword);
        for (const char* state : kStates) {
            const auto found = byState.find(state);
            const std::int64_t n = found == byState.end() ? 0 : found->second;
            all[state] += n;
            out += "\t" + std::to_string(n);
        }
        out += '\n';
    }
    out += "(all)";
    for (const char* state : kStates) out += "\t" + std::to_string(all[state]);
    out += '\n';
    out.pop_back();  // the console ends the line
    Console console(false, false, stdoutOpen);
    if (console.data(out) && console.flush()) return kExitSaved;
    console.error(OutputProblem(console.outputError()));
    return kExitOutputFailed;
}

// How one search of a run ended, for the run's total.
struct SearchOutcome {
    int exitCode = kExitSaved;
    bool downloaded = false;   // its records were fetched, so they go into the manifest
    std::size_t pictures = 0;  // set out to fetch, or listed with --list-only
    int saved = 0;
    int failed = 0;
    std::map<std::string, int> held;
};

// What the searches of a run share.
struct RunShared {
    WorkerGang& gang;   // pictures
    WorkerGang& pages;  // result pages, beside the pictures
    Console& console;
    Archive* archive;
    SharedSession session;
    std::shared_ptr<std::atomic<int>> caught;        // the signal that stopped the run
    std::shared_ptr<std::atomic<bool>> outputFirst;  // stdout failed before any signal
};

// Prints one keyword's records, a line each; false when stdout failed.
bool ListRecords(Console& console, const std::vector<Entry>& records) {
    for (const Entry& r : records) {
        if (!console.data(TabField(r.saveName()) + "\t" + TabField(r.address()) + "\t" + TabField(r.width()) +
                          "\t" + TabField(r.height()) + "\t" + TabField(r.thumbnail()) + "\t" +
                          TabField(r.sourcePage()) + "\t" + TabField(r.title()) + "\t" +
                          std::to_string(r.rank) + "\t" + std::to_string(r.page)))
            break;
    }
    return console.flush();
}

// A harvest that no page answered with a result array, and its exit code.
int ReportNoResultArray(Console& console, const std::string& label, const Harvest& harvest) {
    console.error(label + (harvest.pagesAnswered > 0 ? "the service answered without a result array:"
                                                     : "the service did not answer:"));
    for (const std::string& problem : harvest.problems) console.error("  " + problem);
    return harvest.pagesAnswered > 0 ? kExitNoResultArray : kExitSomeFailed;
}

// The pages of a harvest that gave no result array, and the pictures left out.
void ReportPageProblems(Console& console, const std::string& label, const Harvest& harvest) {
    for (const std::string& problem : harvest.problems) console.error(label + "no result array on " + problem);
    for (const std::string& note : harvest.notes) console.note(label + note);
}

// One keyword: its harvest, with the pictures of each page fetched as soon as
// the page is in, or with `resumed` the fetch of what its records (as the
// manifest had them, in `entries`) still lack; `entries` ends holding its
// records. Its lines, the closing count among them, start with `label` when
// the run has several keywords.
SearchOutcome Search(const Options& options, const ManifestRun& run, std::vector<Entry>& entries, bool resumed,
                     const std::string& label, RunShared& shared) {
    Console& console = shared.console;
    SearchOutcome outcome;
    const auto stoppedExit = [&] { return 128 + shared.caught->load(); };
    DownloadSettings settings{options.thumbnails, options.threads, options.retries, options.perHost,
                              options.rules, shared.archive};
    const auto bound = static_cast<std::size_t>(options.maxPictures);
    settings.saveAtMost = bound;
    settings.writeMetadata = options.writeMetadata;
    Downloads::Outcome fetch;
    int pageProblems = 0;
    int harvestExit = kExitSaved;
    if (resumed) {
        std::vector<std::size_t> todo;
        for (std::size_t i = 0; i < entries.size(); ++i)
            if (!StillSaved(entries[i], PathOf(run, entries[i]))) todo.push_back(i);
        // --max counts what earlier runs saved too.
        const std::size_t done = entries.size() - todo.size();
        if (bound > 0) {
            if (done >= bound) todo.clear();
            settings.saveAtMost = bound - std::min(done, bound);
        }
        console.note(label + "resuming " + options.manifest->string() + ": " +
                     Plural(todo.size(), "picture", "pictures") + " of " + std::to_string(entries.size()) +
                     " still to fetch");
        if (std::string error; !todo.empty() && !MakeFolders(options.outFolder, &error)) {
            console.error("cannot make the folder " + error);
            outcome.exitCode = kExitBadArguments;
            return outcome;
        }
        Downloads downloads(run, settings, shared.gang, console);
        downloads.add(std::move(entries), todo);
        fetch = downloads.finish(false);
    } else if (options.listOnly) {
        Harvest harvest = HarvestPages(options, shared.pages, shared.session);
        if (!harvest.frontPageNote.empty()) console.note(harvest.frontPageNote);
        if (!harvest.refusal.empty()) {
            console.error(label + "the service refused the search: " + harvest.refusal);
            outcome.exitCode = kExitNoResultArray;
            return outcome;
        }
        if (harvest.stopped) {
            console.error(label + "stopped during the harvest; nothing was downloaded");
            outcome.exitCode = stoppedExit();
            return outcome;
        }
        if (harvest.pagesWithArray == 0) {
            outcome.exitCode = ReportNoResultArray(console, label, harvest);
            return outcome;
        }
        ReportPageProblems(console, label, harvest);
        if (!ListRecords(console, harvest.records)) {
            console.error(OutputProblem(console.outputError()));
            outcome.exitCode = kExitOutputFailed;
            return outcome;
        }
        outcome.pictures = harvest.records.size();
        outcome.exitCode = harvest.problems.empty() ? kExitSaved : kExitSomeFailed;
        return outcome;
    } else {
        // Each page's pictures are fetched as soon as the page is in.
        Downloads downloads(run, settings, shared.gang, console);
        std::string folderProblem;
        bool folderMade = false;
        HarvestFeed feed;
        feed.records = [&](std::vector<Entry> records) {
            if (!folderMade) {
                if (std::string error; !MakeFolders(options.outFolder, &error)) {
                    if (folderProblem.empty()) folderProblem = "cannot make the folder " + error;
                    shared.pages.stop();
                    return;
                }
                folderMade = true;
            }
            std::vector<std::size_t> all(records.size());
            for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
            downloads.add(std::move(records), all);
        };
        if (bound > 0) {
            // A page is asked only while the pictures saved, those still to
            // end and those the pages under way will list, at the most any
            // page listed, fall short; so no page is asked that N did not need.
            feed.need = [&](int inFlight, std::size_t perPage) {
                const std::size_t saved = downloads.saved();
                if (saved >= bound || shared.gang.stopped()) return HarvestFeed::Need::Enough;
                if (inFlight > 0 && perPage == 0) return HarvestFeed::Need::Wait;
                const std::size_t coming = downloads.given() - downloads.ended() +
                                           static_cast<std::size_t>(inFlight) * perPage;
                return saved + coming < bound ? HarvestFeed::Need::More : HarvestFeed::Need::Wait;
            };
            feed.wait = [&] { downloads.waitForChange(std::chrono::milliseconds(100)); };
        }
        Harvest harvest = HarvestPages(options, shared.pages, shared.session, feed);
        fetch = downloads.finish(true);
        if (!folderProblem.empty()) {
            console.error(folderProblem);
            outcome.exitCode = kExitBadArguments;
            return outcome;
        }
        if (!harvest.frontPageNote.empty()) console.note(harvest.frontPageNote);
        if (!harvest.refusal.empty()) {
            console.error(label + "the service refused the search: " + harvest.refusal);
            harvestExit = kExitNoResultArray;
        } else if (harvest.stopped && harvest.listed == 0) {
            console.error(label + "stopped during the harvest; nothing was downloaded");
            outcome.exitCode = stoppedExit();
            return outcome;
        } else if (harvest.pagesWithArray == 0 && !harvest.stopped) {
            outcome.exitCode = ReportNoResultArray(console, label, harvest);
            return outcome;
        }
        pageProblems = static_cast<int>(harvest.problems.size());
        ReportPageProblems(console, label, harvest);
        if (harvest.listed == 0 && harvestExit == kExitSaved) console.note(label + "the result pages list no pictures");
        if (harvestExit != kExitSaved && fetch.entries.empty()) {
            outcome.exitCode = harvestExit;
            return outcome;
        }
    }

    entries = std::move(fetch.entries);
    outcome.downloaded = true;
    outcome.exitCode = fetch.recorded ? kExitSaved : kExitSomeFailed;
    outcome.pictures = fetch.fetched;
    outcome.failed = console.failed();
    outcome.held = console.heldCounts();
    // Pictures passed over on purpose are no failure, but the count says so.
    const std::string held = HeldSummary(outcome.held);
    const std::string heldNote = held.empty() ? std::string() : " (" + held + ")";
    outcome.saved = console.done() - outcome.failed - console.held();
    const std::string pictures = Plural(fetch.fetched, "picture", "pictures");
    if (const int error = console.outputError();
        error != 0 && (shared.outputFirst->load() || shared.caught->load() == 0)) {
        console.error(label + OutputProblem(error) + "; stopped: " + std::to_string(outcome.saved) + " of " +
                      pictures + " saved" + heldNote);
        outcome.exitCode = kExitOutputFailed;
        return outcome;
    }
    if (shared.caught->load() != 0) {
        console.error(label + "stopped: " + std::to_string(outcome.saved) + " of " + pictures + " saved" + heldNote);
        outcome.exitCode = stoppedExit();
        return outcome;
    }
    if (outcome.failed > 0) {
        console.error(label + std::to_string(outcome.failed) + " of " + pictures + " failed" + heldNote);
        outcome.exitCode = kExitSomeFailed;
    } else {
        console.note(label + "saved " + (held.empty() ? pictures : std::to_string(outcome.saved) + " of " + pictures) +
                     (resumed ? std::string() : " in " + options.outFolder.string()) + heldNote);
    }
    if (pageProblems > 0) outcome.exitCode = kExitSomeFailed;
    // A refusal outweighs what the pages before it gave.
    if (harvestExit != kExitSaved) outcome.exitCode = harvestExit;
    return outcome;
}

int Run(const Options& options, bool stdoutOpen) {
    if (options.archiveStats) return PrintArchiveStats(*options.archive, stdoutOpen);
    if (!options.proxy.empty()) SetProcessProxy(options.proxy);
    // Shared with the signal thread, which outlives this function.
    const auto shared = std::make_shared<Console>(::isatty(STDOUT_FILENO) == 1, options.quiet, stdoutOpen);
    Console& console = *shared;

    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        // Ignored when we were started (nohup, `&` in a script): it stays
        // ignored. A blocked signal is kept pending even when ignored, so
        // it must not be blocked and waited for either.
        struct sigaction now {};
        if (::sigaction(s, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) continue;
        sigaddset(&signals, s);
    }
    sigset_t blocked = signals;
    sigaddset(&blocked, kEndWatch);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    // Writes to a reader that went away fail instead of ending the run.
    if (!options.listOnly) ::signal(SIGPIPE, SIG_IGN);
    // Pictures and result pages have workers of their own, as they run side by side.
    WorkerGang gang;
    WorkerGang pages;
    auto caught = std::make_shared<std::atomic<int>>(0);
    DetachedThreads watcher;
    auto ending = std::make_shared<std::atomic<bool>>(false);
    WatchSignals(signals, gang, pages, shared, caught, ending, watcher);
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
    // Output nobody can read ends the run as a stop would; which came first
    // decides the exit code.
    auto outputFirst = std::make_shared<std::atomic<bool>>(false);
    console.onOutputError([gang, pages, caught, outputFirst]() mutable {
        outputFirst->store(caught->load() == 0);
        pages.stop();
        gang.stop();
    });

    // Everything the run will write is checked before the first request.
    std::unique_ptr<Archive> archive;
    if (!options.listOnly) {
        std::string problem;
        for (const KeywordRun& search : options.keywords)
            if (problem.empty()) problem = OutFolderProblem(search.folder);
        if (problem.empty() && options.manifest) problem = WritableFileProblem(*options.manifest, "the manifest");
        if (problem.empty() && options.archive) problem = WritableFileProblem(*options.archive, "the archive");
        if (problem.empty() && options.archive) archive = Archive::Open(*options.archive, Archive::Use::Write, problem);
        if (!problem.empty()) {
            console.error(problem);
            return kExitBadArguments;
        }
        // Left by runs that ended without cleaning up (killed, powered off).
        for (const KeywordRun& search : options.keywords) RemoveStaleTemporaryFiles(search.folder);
        if (options.manifest) RemoveStaleTemporaryFiles(FolderOf(*options.manifest));
    }

    const std::size_t count = options.keywords.size();
    std::vector<ManifestRun> runs;
    for (const KeywordRun& search : options.keywords) runs.push_back({GbkToUtf8(search.keyword), search.folder});
    std::vector<std::vector<Entry>> records(count);
    // With --resume a keyword the manifest lists is taken up from its
    // records; one it does not list (the run before ended first) is
    // searched.
    std::vector<bool> resumed(count, false);
    struct stat info {};
    if (options.resume && ::stat(options.manifest->c_str(), &info) == 0) {
        std::string error;
        auto read = ReadManifest(*options.manifest, runs, error);
        if (!read) {
            console.error("cannot resume: " + error);
            return kExitBadArguments;
        }
        for (std::size_t i = 0; i < count; ++i) {
            records[i] = std::move((*read)[i]);
            resumed[i] = !records[i].empty();
        }
    }

    RunShared common{gang, pages, console, archive.get(), {}, caught, outputFirst};
    SearchOutcome total;
    int exitCode = kExitSaved;
    std::size_t searched = 0;
    Options search = options;
    for (std::size_t i = 0; i < count; ++i) {
        search.keyword = options.keywords[i].keyword;
        search.outFolder = options.keywords[i].folder;
        const SearchOutcome outcome =
            Search(search, runs[i], records[i], resumed[i], count > 1 ? runs[i].keyword + ": " : std::string(), common);
        ++searched;
        exitCode = std::max(exitCode, outcome.exitCode);
        total.downloaded = total.downloaded || outcome.downloaded;
        total.pictures += outcome.pictures;
        total.saved += outcome.saved;
        total.failed += outcome.failed;
        for (const auto& [state, n] : outcome.held) total.held[state] += n;
        // The service refuses the client, not the keyword: the keywords left
        // would only deepen the refusal. A stop, output nobody reads, or a
        // folder that could not be made ends the run.
        if (outcome.exitCode == kExitNoResultArray || gang.stopped() || pages.stopped()) break;
    }

    // One manifest for every keyword: those not reached keep what it had.
    if (options.manifest && total.downloaded) {
        std::vector<ManifestPart> parts;
        for (std::size_t i = 0; i < count; ++i) parts.push_back({&runs[i], &records[i]});
        if (std::string error; !WriteManifest(*options.manifest, parts, error)) {
            console.error("cannot write the manifest " + error);
            exitCode = std::max(exitCode, kExitSomeFailed);
        }
    }
    if (count > 1) {
        std::string line = "all " + std::to_string(count) + " keywords: ";
        if (options.listOnly) {
            line += Plural(total.pictures, "picture", "pictures") + " listed";
        } else {
            line += std::to_string(total.saved) + " of " + Plural(total.pictures, "picture", "pictures") + " saved";
            if (total.failed > 0) line += ", " + std::to_string(total.failed) + " failed";
            if (const std::string held = HeldSummary(total.held); !held.empty()) line += ", " + held;
        }
        if (searched < count) line += "; " + Plural(count - searched, "keyword", "keywords") + " not searched";
        if (exitCode == kExitSaved) {
            console.note(line);
        } else {
            console.error(line);
        }
    }
    return exitCode;
}

}  // namespace
}  // namespace lumigrab::cli

int main(int argc, char** argv) {
    // A standard stream closed by whoever started us would lend its number
    // to the next file opened, and what we print would go into that file
    // (the archive, a picture, a connection). /dev/null holds the place;
    // printing to a closed stdout is an error all the same.
    bool stdoutOpen = true;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        if (fd == STDOUT_FILENO) stdoutOpen = false;
        ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
    auto parsed = lumigrab::cli::ParseOptions(argc, argv);
    if (const int* code = std::get_if<int>(&parsed)) {
        // --help and --version print to stdout too.
        if (*code == lumigrab::cli::kExitSaved && (!stdoutOpen || !std::cout.flush())) {
            std::fprintf(stderr, "lumigrab-cli: %s\n",
                         lumigrab::cli::OutputProblem(stdoutOpen ? errno : EBADF).c_str());
            return lumigrab::cli::kExitOutputFailed;
        }
        return *code;
    }
    const int code = lumigrab::cli::Run(std::get<lumigrab::cli::Options>(parsed), stdoutOpen);
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
