// The download stage end to end and beside curl: StartDownload with its
// controller, workers, HTTP, picture test and save, driven through the
// in-memory window against a loopback server of distinct JPEGs, next to
// `curl -Z --parallel-max N` over the same addresses in the same run. Then
// one harvest against the stand-in, next to its slowest chain of page fetches.
//
// Each Lumigrab run is a forked child, so its peak RSS is its own; it reports
// through a pipe. The server is a process of its own, so neither side pays
// for serving. Figures only: nothing here passes or fails.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "port/controls.h"
#include "platform/program_info.h"
#include "bench/child_run.h"
#include "bench/noise_jpeg.h"
#include "download/download.h"
#include "harvest/harvest.h"
#include "harvest/result_page.h"
#include "net/http_request.h"
#include "support/fake_window.h"
#include "support/files.h"
#include "support/loopback_server.h"
#include "tools/standin/standin.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using namespace lumigrab::bench;
using lumigrab::bench::JpegWriter;
using lumigrab::bench::NumberedCopy;
using lumigrab::testing::FakeWindow;
namespace ctl = lumigrab::ctl;

constexpr int kSmallCount = 500;
constexpr std::size_t kSmallTarget = 50 * 1024;
constexpr int kBigCount = 200;
constexpr std::size_t kBigTarget = 5 * 1024 * 1024;
constexpr int kHarvestPages = 10;
constexpr int kHarvestWorkers = 5;

using lumigrab::testing::TempFolder;

// Files and bytes in a folder, so that a run is judged by what it saved.
std::pair<int, double> FolderContents(const fs::path& folder) {
    std::pair<int, double> contents{0, 0.0};
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        if (!entry.is_regular_file(ec) || entry.file_size(ec) == 0) continue;
        ++contents.first;
        contents.second += static_cast<double>(entry.file_size(ec));
    }
    return contents;
}

// A "Vm...:" figure of /proc/<pid>/status in KB; 0 once the process has let
// go of its memory.
long StatusKb(const std::string& pid, std::string_view field) {
    std::ifstream status("/proc/" + pid + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + field.size(), nullptr, 10);
    }
    return 0;
}

// ---- The picture server, a process of its own ---------------------------------

struct ServerFacts {
    int port = 0;
    double smallMean = 0, bigBytes = 0;
    int smallWidth = 0, smallHeight = 0, bigWidth = 0, bigHeight = 0;
};

// Serves /small/<i>.jpg and /big/<i>.jpg until it is killed, by its owner or
// by the death of its parent. It keeps no files, so nothing needs a clean end.
class ServerProcess {
public:
    ServerProcess() {
        Pipe ready = Pipe::Make();
        std::fflush(nullptr);
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ready.read.reset();
            Serve(ready.write.get());
            std::_Exit(1);
        }
        ready.write.reset();
        if (!ReadAll(ready.read.get(), &facts_, sizeof facts_, Clock::now() + 120s) || facts_.port == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            throw std::runtime_error("the picture server did not start");
        }
    }
    ~ServerProcess() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    const ServerFacts& facts() const { return facts_; }
    std::vector<std::string> urls(const char* kind, int count) const {
        const std::string base = "http://127.0.0.1:" + std::to_string(facts_.port) + "/" + kind + "/";
        std::vector<std::string> list;
        for (int i = 0; i < count; ++i) list.push_back(base + std::to_string(i) + ".jpg");
        return list;
    }

private:
    static void Serve(int readyFd) {
        JpegWriter writer;
        std::vector<std::string> small;
        const auto [sw, sh] = writer.sidesFor(kSmallTarget);
        double total = 0;
        for (int i = 0; i < kSmallCount; ++i) {
            small.push_back(writer.noise(sw, sh, 1000 + static_cast<std::uint32_t>(i)));
            total += static_cast<double>(small.back().size());
        }
        const auto [bw, bh] = writer.sidesFor(kBigTarget);
        const std::string big = writer.noise(bw, bh, 7);

        // The number after `prefix`, or -1 for any other path.
        auto idAfter = [](std::string_view target, std::string_view prefix) {
            int id = -1;
            if (target.starts_with(prefix))
                std::from_chars(target.data() + prefix.size(), target.data() + target.size(), id);
            return id;
        };
        auto reply = [&](const lumigrab::testing::LoopbackRequest& request) {
            lumigrab::testing::LoopbackReply out;
            const int smallId = idAfter(request.target, "/small/"), bigId = idAfter(request.target, "/big/");
            if (smallId >= 0 && smallId < kSmallCount) {
                out.body = small[static_cast<std::size_t>(smallId)];
            } else if (bigId >= 0 && bigId < kBigCount) {
                out.body = NumberedCopy(big, bigId);
            } else {
                out.status = 404;
                out.reason = "Not Found";
            }
            out.headers.push_back(out.status == 200 ? "Content-Type: image/jpeg" : "Content-Type: text/plain");
            return out;
        };
        lumigrab::testing::LoopbackLimits limits;
        limits.maxConnections = 1000000;
        limits.maxConcurrent = 512;  // far above any worker count here
        limits.lifetime = 3600s;
        lumigrab::testing::LoopbackServer server(reply, limits);

        const ServerFacts facts{server.port(), total / kSmallCount,
                                static_cast<double>(NumberedCopy(big, kBigCount - 1).size()), sw, sh, bw, bh};
        if (::write(readyFd, &facts, sizeof facts) != static_cast<ssize_t>(sizeof facts)) return;
        for (;;) ::pause();
    }

    pid_t pid_ = -1;
    ServerFacts facts_;
};

// ---- Runs in forked children -----------------------------------------------

// One download run through the window, as a person would start it after a
// harvest had filled the list.
Figures LumigrabDownload(const std::vector<std::string>& urls, int workers, const fs::path& folder) {
    FakeWindow window;
    window.setText(ctl::kKeyword, "bench");
    window.setText(ctl::kThreadCount, std::to_string(workers));
    for (std::size_t i = 0; i < urls.size(); ++i) {
        const int row = window.rowCount(ctl::kResultList);
        window.insertRow(ctl::kResultList, row, "picture " + std::to_string(i + 1));
        window.setCell(ctl::kResultList, row, ctl::kColAddress, urls[i]);
        // Only the full-size address is fetched (the radio box's default).
        window.setCell(ctl::kResultList, row, ctl::kColThumbnail, urls[i]);
    }
    lumigrab::ProgramInfo program{folder, "lumigrab"};
    lumigrab::DownloadState state;

    Figures figures;
    figures.asked = static_cast<int>(urls.size());
    const auto start = Clock::now();
    lumigrab::StartDownload(window, state, program);
    // The run has ended for its user when the start button is back.
    const bool ended = window.waitFor([](FakeWindow& w) { return w.isEnabled(ctl::kDownloadButton); },
                                      static_cast<int>(std::chrono::milliseconds(kGiveUp).count()));
    figures.seconds = Seconds(Clock::now() - start);
    figures.gaveUp = !ended;
    const bool idle = state.threads.waitIdle(ended ? 60s : 0s);
    for (const auto& row : window.rows(ctl::kResultList)) figures.saved += row[ctl::kColState] == "OK";
    figures.bytes = FolderContents(folder / "bench").second;
    figures.peakRssKb = PeakRssKb();
    if (!idle) ReportAndExit(figures);
    return figures;
}

Figures LumigrabHarvest() {
    lumigrab::standin::StandinOptions options;
    options.total = 400;  // more than ten pages list
    options.lifetime = std::chrono::milliseconds(kGiveUp) + 60s;
    lumigrab::standin::StandinServer server(options);
    // The fixed https address reaches the stand-in through its proxy, as the
    // program's own requests would.
    ::setenv("https_proxy", server.proxyUrl().c_str(), 1);
    ::setenv("HTTPS_PROXY", server.proxyUrl().c_str(), 1);
    ::unsetenv("no_proxy");
    ::unsetenv("NO_PROXY");

    Figures figures;
    figures.asked = kHarvestPages;
    FakeWindow window;
    window.setText(ctl::kKeyword, "bench");
    window.setText(ctl::kPictureName, "cat");
    window.setText(ctl::kThreadCount, std::to_string(kHarvestWorkers));
    lumigrab::HarvestState state;
    // One whole run of `pages` pages: the button back ends it.
    const auto harvest = [&](int pages) -> std::optional<double> {
        window.selectEntry(ctl::kDepth, pages - 1);
        const auto start = Clock::now();
        lumigrab::StartHarvest(window, state);
        const bool ended = window.waitFor([](FakeWindow& w) { return w.isEnabled(ctl::kHarvestButton); },
                                          static_cast<int>(std::chrono::milliseconds(kGiveUp).count()));
        if (!ended) return std::nullopt;
        return Seconds(Clock::now() - start);
    };
    // The reference: one page fetched, read and listed alone, the median of
    // five after a warm-up. Ten pages at five workers are two such pages in a
    // row at best.
    harvest(1);
    std::vector<double> singles;
    for (int i = 0; i < 5; ++i) {
        const auto one = harvest(1);
        if (!one || window.rowCount(ctl::kResultList) == 0) return figures;  // oneFetch 0: no page came
        singles.push_back(*one);
    }
    std::sort(singles.begin(), singles.end());
    figures.oneFetch = singles[2];

    const auto total = harvest(kHarvestPages);
    figures.seconds = total.value_or(Seconds(std::chrono::milliseconds(kGiveUp)));
    figures.gaveUp = !total;
    figures.saved = window.rowCount(ctl::kResultList);
    figures.peakRssKb = PeakRssKb();
    // The last page worker is still on its way out for a moment after the button.
    if (!state.threads.waitIdle(total ? 30s : 0s)) ReportAndExit(figures);
    return figures;
}

// ---- curl, the reference ----------------------------------------------------

std::optional<fs::path> FindOnPath(const char* name) {
    const char* path = std::getenv("PATH");
    std::string_view rest = path ? path : "/usr/bin:/bin";
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const fs::path candidate = fs::path(rest.substr(0, colon)) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
    }
    return std::nullopt;
}

// curl -Z over the same addresses, one output file each, as given by a config
// file. Its peak RSS is the high-water mark of its own memory, read while it
// runs: wait4's figure would include this process's RSS at the fork, which
// execve carries over.
Figures CurlDownload(const fs::path& curl, const std::vector<std::string>& urls, int parallel,
                     const fs::path& folder) {
    Figures figures;
    figures.asked = static_cast<int>(urls.size());
    const fs::path out = folder / "out";
    fs::create_directories(out);
    const fs::path config = folder / "urls.curlrc";
    {
        std::ofstream file(config);
        for (std::size_t i = 0; i < urls.size(); ++i)
            file << "url = \"" << urls[i] << "\"\noutput = \"" << (out / (std::to_string(i) + ".jpg")).string()
                 << "\"\n";
    }
    const std::string max = std::to_string(parallel);
    std::fflush(nullptr);
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) return figures;
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        // In parallel mode this curl shows its progress meter despite -s.
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::execl(curl.c_str(), "curl", "-s", "-S", "-Z", "--parallel-max", max.c_str(), "-K", config.c_str(),
                static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    const std::string pidText = std::to_string(pid);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        figures.peakRssKb = std::max(figures.peakRssKb, StatusKb(pidText, "VmHWM:"));
        if (Clock::now() - start > kGiveUp) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            figures.gaveUp = true;
            break;
        }
        std::this_thread::sleep_for(2ms);
    }
    figures.seconds = Seconds(Clock::now() - start);
    figures.reported = true;
    figures.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::tie(figures.saved, figures.bytes) = FolderContents(out);
    return figures;
}

// ---- Report -----------------------------------------------------------------

double Rate(const Figures& f) { return f.seconds > 0 ? f.saved / f.seconds : 0; }

// "pictures/s  peak RSS", or why there are no figures; a short run's
// shortfall is shown so that a fast failure never reads as speed.
std::string Cell(const Figures& f, bool withMbPerSecond = false) {
    if (!f.reported) return "no report (the run died)";
    char text[160];
    int used = std::snprintf(text, sizeof text, "%8.1f pic/s", Rate(f));
    if (withMbPerSecond)
        used += std::snprintf(text + used, sizeof text - used, " %7.1f MB/s", Mb(f.bytes) / f.seconds);
    used += std::snprintf(text + used, sizeof text - used, " %7.1f MB RSS", f.peakRssKb / 1024.0);
    std::string cell(text, static_cast<std::size_t>(std::min<int>(used, sizeof text - 1)));
    if (f.gaveUp) cell += " GAVE UP after " + std::to_string(static_cast<int>(f.seconds)) + " s";
    if (f.saved != f.asked) cell += " (" + std::to_string(f.saved) + " of " + std::to_string(f.asked) + " saved)";
    if (f.exitCode != 0) cell += " (exit " + std::to_string(f.exitCode) + ")";
    return cell;
}

std::string Ratio(const Figures& lumigrab, const Figures& curl) {
    if (!lumigrab.reported || !curl.reported || lumigrab.gaveUp || curl.gaveUp || Rate(curl) == 0 ||
        curl.peakRssKb == 0)
        return "- (a run gave up or died)";
    char text[80];
    std::snprintf(text, sizeof text, "%.3f pic/s, %.2f RSS", Rate(lumigrab) / Rate(curl),
                  static_cast<double>(lumigrab.peakRssKb) / curl.peakRssKb);
    return text;
}

struct Scenario {
    const char* kind;  // "small" or "big", as in the server's paths
    int count, workers;
    bool mbPerSecond;
};

void RunScenario(const Scenario& s, const ServerProcess& server, const std::optional<fs::path>& curl) {
    const std::vector<std::string> urls = server.urls(s.kind, s.count);
    Figures theirs;
    if (curl) {
        const TempFolder folder("lumigrab-bench");
        theirs = CurlDownload(*curl, urls, s.workers, folder.path());
    }
    Figures ours;
    {
        const TempFolder folder("lumigrab-bench");
        ours = InChild([&] { return LumigrabDownload(urls, s.workers, folder.path()); });
    }
    std::printf("%4d x %-6s N = %2d  Lumigrab %s\n", s.count, s.kind, s.workers, Cell(ours, s.mbPerSecond).c_str());
    if (curl) {
        std::printf("%21s curl -Z  %s\n", "", Cell(theirs, s.mbPerSecond).c_str());
        std::printf("%21s Lumigrab / curl: %s\n", "", Ratio(ours, theirs).c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int main() {
    std::printf("load at start: %s\n", LoadAverage().c_str());
    const std::optional<fs::path> curl = FindOnPath("curl");
    if (!curl) std::printf("the curl tool is missing: no curl column\n");

    std::optional<ServerProcess> server;
    try {
        server.emplace();
    } catch (const std::exception& e) {
        std::printf("no picture server: %s\n", e.what());
        return 1;
    }
    const ServerFacts& facts = server->facts();
    std::printf("server: own process on 127.0.0.1:%d; %d small noise JPEGs %dx%d (mean %.1f KB), "
                "%d big %dx%d (%.2f MB)\n",
                facts.port, kSmallCount, facts.smallWidth, facts.smallHeight, facts.smallMean / 1024, kBigCount,
                facts.bigWidth, facts.bigHeight, Mb(facts.bigBytes));
    std::printf("Lumigrab's peak RSS includes the %.1f MB (libraries, mostly) it shares with this parent\n"
                "from the fork; curl's is its own high-water mark\n\n",
                StatusKb("self", "VmRSS:") / 1024.0);

    for (const Scenario& s : {Scenario{"small", kSmallCount, 5, false}, Scenario{"small", kSmallCount, 20, false},
                              Scenario{"big", kBigCount, 20, true}})
        RunScenario(s, *server, curl);
    server.reset();

    const Figures harvest = InChild(LumigrabHarvest);
    if (!harvest.reported) {
        std::printf("harvest: no report (the run died)\n");
    } else if (harvest.oneFetch == 0) {
        std::printf("harvest: the stand-in's page never came\n");
    } else {
        // Pages in a row on one worker when all N start at once.
        const int chain = (kHarvestPages + kHarvestWorkers - 1) / kHarvestWorkers;
        std::printf("harvest  %d pages, N = %d: %.3f s total, one page alone %.3f s (median of 5), "
                    "total / (%d x one page) = %.2f, %d rows%s\n",
                    kHarvestPages, kHarvestWorkers, harvest.seconds, harvest.oneFetch,
                    chain, harvest.seconds / (chain * harvest.oneFetch),
                    harvest.saved, harvest.gaveUp ? " GAVE UP" : "");
    }
    std::printf("\nload at end: %s\n", LoadAverage().c_str());
    return 0;
}
