// The download stage as users run it, beside curl: 2,000 distinct noise JPEGs
// of about 65 KB at 5 and 20 workers over HTTP and over HTTPS, and 200 of
// 5 MB at 20 workers over HTTP, from a loopback picture server. Each scenario
// is run, in the same bench run, by
//   - `curl -Z --parallel-max N` (the reference every ratio is taken against;
//     -k over HTTPS, as Lumigrab does not check certificates either),
//   - the core alone: StartDownload on the tests' in-memory window,
//   - the real lumigrab-cli, resuming a manifest that lists every picture as
//     failed, timed as a whole process,
//   - the real Qt window on the offscreen platform (bench_window, a program of
//     its own), from the click on the download button until it is enabled
//     again, with how busy the window thread was meanwhile.
// Then one harvest against the stand-in, next to its slowest chain of page
// fetches.
//
// Every run is a process of its own, so its peak RSS is its own; the server
// is one too, so no run pays for serving. Figures only: nothing here passes
// or fails.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "port/controls.h"
#include "platform/program_info.h"
#include "bench/child_run.h"
#include "bench/noise_jpeg.h"
#include "download/download.h"
#include "harvest/harvest.h"
#include "support/fake_window.h"
#include "support/files.h"
#include "support/loopback_server.h"
#include "tools/standin/standin.h"
#include "tools/standin/tls.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using namespace lumigrab::bench;
using lumigrab::testing::FakeWindow;
using lumigrab::testing::TempFolder;
namespace ctl = lumigrab::ctl;

constexpr int kSmallCount = 2000;
constexpr std::size_t kSmallTarget = 65 * 1024;
constexpr int kBigCount = 200;
constexpr std::size_t kBigTarget = 5 * 1024 * 1024;
constexpr int kHarvestPages = 10;
constexpr int kHarvestWorkers = 5;

// The keyword of every Lumigrab run: the window saves into <folder>/<keyword>.
constexpr const char* kKeyword = "bench";

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
    int httpPort = 0, httpsPort = 0;
    double smallBytes = 0, bigBytes = 0;  // all the pictures of each kind together
    int smallWidth = 0, smallHeight = 0, bigWidth = 0, bigHeight = 0;
};

// Serves /small/<i>.jpg and /big/<i>.jpg over HTTP on one port and over HTTPS
// (a throwaway self-signed certificate) on another, until it is killed, by
// its owner or by the death of its parent. It keeps no files, so nothing
// needs a clean end.
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
            try {
                Serve(ready.write.get());
            } catch (const std::exception& e) {
                std::fprintf(stderr, "picture server: %s\n", e.what());
            }
            std::_Exit(1);
        }
        ready.write.reset();
        if (!ReadAll(ready.read.get(), &facts_, sizeof facts_, Clock::now() + 300s) || facts_.httpPort == 0) {
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
    std::vector<std::string> urls(bool https, const char* kind, int count) const {
        const std::string base = std::string(https ? "https" : "http") + "://127.0.0.1:" +
                                 std::to_string(https ? facts_.httpsPort : facts_.httpPort) + "/" + kind + "/";
        std::vector<std::string> list;
        for (int i = 0; i < count; ++i) list.push_back(base + std::to_string(i) + ".jpg");
        return list;
    }

private:
    static void Serve(int readyFd) {
        JpegWriter writer;
        ServerFacts facts;
        std::vector<std::string> small;
        std::tie(facts.smallWidth, facts.smallHeight) = writer.sidesFor(kSmallTarget);
        for (int i = 0; i < kSmallCount; ++i) {
            const auto seed = 1000 + static_cast<std::uint32_t>(i);
            small.push_back(writer.noise(facts.smallWidth, facts.smallHeight, seed));
            facts.smallBytes += static_cast<double>(small.back().size());
        }
        std::tie(facts.bigWidth, facts.bigHeight) = writer.sidesFor(kBigTarget);
        const std::string big = writer.noise(facts.bigWidth, facts.bigHeight, 7);
        for (int i = 0; i < kBigCount; ++i) facts.bigBytes += static_cast<double>(NumberedCopy(big, i).size());

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
        lumigrab::testing::LoopbackServer plain(reply, limits);

        namespace tls = lumigrab::standin::detail;
        const tls::SslCtxPtr context = tls::MakeSelfSignedServerContext();
        lumigrab::testing::LoopbackServer secure(
            reply, limits, [&context](int fd) { return tls::AcceptTlsStream(context.get(), fd); });

        facts.httpPort = plain.port();
        facts.httpsPort = secure.port();
        if (::write(readyFd, &facts, sizeof facts) != static_cast<ssize_t>(sizeof facts)) return;
        for (;;) ::pause();
    }

    pid_t pid_ = -1;
    ServerFacts facts_;
};

// ---- The core alone, in a forked child ----------------------------------------

// One download run through the in-memory window, as a person would start it
// after a harvest had filled the list.
Figures CoreDownload(const std::vector<std::string>& urls, int workers, const fs::path& folder) {
    FakeWindow window;
    window.setText(ctl::kKeyword, kKeyword);
    window.setText(ctl::kThreadCount, std::to_string(workers));
    std::vector<lumigrab::ImageRecord> rows;
    for (std::size_t i = 0; i < urls.size(); ++i) {
        lumigrab::ImageRecord& row = rows.emplace_back();
        row.saveName = "picture " + std::to_string(i + 1);
        row.address = urls[i];
        // Only the full-size address is fetched (the radio box's default).
        row.thumbnail = urls[i];
    }
    window.pictureList().append(std::move(rows));
    lumigrab::ProgramInfo program{folder, "lumigrab", lumigrab::PortablePlaces(folder)};
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
    std::tie(figures.saved, figures.bytes) = FolderContents(folder / kKeyword);
    figures.peakRssKb = PeakRssKb();
    if (!idle) ReportAndExit(figures);
    return figures;
}

Figures CoreHarvest() {
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
    window.setText(ctl::kKeyword, kKeyword);
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

// ---- Programs run as children -------------------------------------------------

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

// A program built beside this one, when it is there.
std::optional<fs::path> Sibling(const char* name) {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return std::nullopt;
    const fs::path candidate = self.parent_path() / name;
    if (::access(candidate.c_str(), X_OK) != 0) return std::nullopt;
    return candidate;
}

struct ChildProgram {
    fs::path program;
    std::vector<std::string> arguments;  // after argv[0]
    std::vector<std::string> environment;  // NAME=value, over this process's own
    fs::path folder;  // its working folder
    fs::path output;  // its stdout and stderr; empty: thrown away
};

// Runs the program to its end and times it from the fork to its exit. Its
// peak RSS is the high-water mark of its own memory, read while it runs, from
// its exec on: before the exec the child is a copy of this process, and
// wait4's figure would count that copy.
Figures RunProgram(const ChildProgram& child) {
    // Everything the child needs is made before the fork.
    std::vector<std::string> argvText{child.program.filename().string()};
    argvText.insert(argvText.end(), child.arguments.begin(), child.arguments.end());
    // LUMIGRAB_BENCH_WRAP="perf record -g -o /tmp/{name}.data --" runs every
    // program under that command, {name} standing for the program's own name.
    fs::path program = child.program;
    if (const char* wrap = std::getenv("LUMIGRAB_BENCH_WRAP"); wrap && *wrap) {
        std::vector<std::string> words;
        std::istringstream split(wrap);
        for (std::string word; split >> word;) {
            if (const auto at = word.find("{name}"); at != std::string::npos)
                word.replace(at, 6, child.program.filename().string());
            words.push_back(word);
        }
        argvText[0] = child.program.string();
        argvText.insert(argvText.begin(), words.begin(), words.end());
        program = FindOnPath(words.front().c_str()).value_or(words.front());
    }
    std::vector<char*> argv;
    for (std::string& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e) {
        const std::string_view entry(*e);
        const std::string_view name = entry.substr(0, entry.find('='));
        const bool replaced =
            std::any_of(child.environment.begin(), child.environment.end(),
                        [&](const std::string& v) { return std::string_view(v).substr(0, v.find('=')) == name; });
        if (!replaced) envText.emplace_back(entry);
    }
    envText.insert(envText.end(), child.environment.begin(), child.environment.end());
    std::vector<char*> envp;
    for (std::string& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string output = child.output.empty() ? std::string("/dev/null") : child.output.string();

    Figures figures;
    // Closed by a successful exec; an errno comes through it otherwise.
    Pipe execed = Pipe::Make();
    std::fflush(nullptr);
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) return figures;
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        int error = 0;
        const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0 || ::chdir(child.folder.c_str()) != 0 || ::dup2(out, STDOUT_FILENO) < 0 ||
            ::dup2(out, STDERR_FILENO) < 0) {
            error = errno;
        } else {
            ::execve(program.c_str(), argv.data(), envp.data());
            error = errno;
        }
        [[maybe_unused]] const ssize_t sent = ::write(execed.write.get(), &error, sizeof error);
        std::_Exit(127);
    }
    execed.write.reset();
    int execError = 0;
    const bool failed = ReadAll(execed.read.get(), &execError, sizeof execError, Clock::now() + 30s);
    const std::string pidText = std::to_string(pid);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (!failed) figures.peakRssKb = std::max(figures.peakRssKb, StatusKb(pidText, "VmHWM:"));
        if (Clock::now() - start > kGiveUp) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            figures.gaveUp = true;
            break;
        }
        std::this_thread::sleep_for(2ms);
    }
    figures.seconds = Seconds(Clock::now() - start);
    figures.reported = !failed;
    figures.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (failed) std::printf("    cannot run %s: %s\n", child.program.c_str(), std::strerror(execError));
    return figures;
}

// The first lines of a child's output, to show why a run fell short.
std::string Opening(const fs::path& file, int lines) {
    std::ifstream in(file);
    std::string text, line;
    for (int i = 0; i < lines && std::getline(in, line); ++i) text += "      | " + line.substr(0, 200) + "\n";
    return text;
}

// curl -Z over the addresses, one output file each, as given by a config file.
Figures CurlDownload(const fs::path& curl, const std::vector<std::string>& urls, int parallel, bool https,
                     const fs::path& folder) {
    const fs::path out = folder / "out";
    fs::create_directories(out);
    const fs::path config = folder / "urls.curlrc";
    {
        std::ofstream file(config);
        for (std::size_t i = 0; i < urls.size(); ++i)
            file << "url = \"" << urls[i] << "\"\noutput = \"" << (out / (std::to_string(i) + ".jpg")).string()
                 << "\"\n";
    }
    // In parallel mode this curl shows its progress meter despite -s: the
    // output is thrown away.
    ChildProgram child{curl, {"-s", "-S", "-Z", "--parallel-max", std::to_string(parallel), "-K", config.string()},
                       {}, folder, {}};
    if (https) child.arguments.push_back("-k");
    Figures figures = RunProgram(child);
    figures.asked = static_cast<int>(urls.size());
    std::tie(figures.saved, figures.bytes) = FolderContents(out);
    return figures;
}

// lumigrab-cli finishing a run whose manifest lists every picture as failed:
// exactly the download, with no harvest before it.
Figures CliDownload(const fs::path& cli, const std::vector<std::string>& urls, int workers,
                    const fs::path& folder) {
    const fs::path pictures = folder / "pictures";
    const fs::path manifest = folder / "manifest.jsonl";
    {
        std::ofstream file(manifest);
        // The addresses and paths here need no escaping in JSON.
        for (std::size_t i = 0; i < urls.size(); ++i) {
            const std::string name = "picture " + std::to_string(i + 1);
            file << "{\"save_name\":\"" << name << "\",\"path\":\"" << (pictures / (name + ".jpg")).string()
                 << "\",\"url\":\"" << urls[i] << "\",\"thumbnail_url\":\"" << urls[i]
                 << "\",\"width\":null,\"height\":null,\"state\":\"failed\",\"reason\":\"stopped\",\"bytes\":0,"
                    "\"sha256\":null}\n";
        }
    }
    const fs::path log = folder / "cli.log";
    const std::vector<std::string> arguments{
        kKeyword, "-o", pictures.string(), "--manifest", manifest.string(), "--resume", "-j",
        std::to_string(workers), "-q"};
    Figures figures = RunProgram({cli, arguments, {}, folder, log});
    figures.asked = static_cast<int>(urls.size());
    std::tie(figures.saved, figures.bytes) = FolderContents(pictures);
    if (figures.reported && (figures.exitCode != 0 || figures.saved != figures.asked))
        std::fputs(Opening(log, 3).c_str(), stdout);
    return figures;
}

// The window's figures: how busy its thread was over the download, as the
// window's own meter sees it (awake, running or waiting for a core) and in
// CPU time.
struct WindowShares {
    std::optional<double> busy, cpu, wait;
};

// The real window, offscreen, in bench_window: it times itself from the
// click to the button back and reports on its stdout, one "name value" a line.
Figures WindowDownload(const fs::path& program, const std::vector<std::string>& urls, int workers,
                       const fs::path& folder, WindowShares& shares) {
    const fs::path addresses = folder / "addresses.txt";
    {
        std::ofstream file(addresses);
        for (const std::string& url : urls) file << url << "\n";
    }
    const fs::path work = folder / "window";
    fs::create_directories(work);
    const fs::path log = folder / "window.log";
    Figures figures = RunProgram({program,
                                  {addresses.string(), std::to_string(workers), work.string()},
                                  {"QT_QPA_PLATFORM=offscreen"},
                                  folder,
                                  log});
    figures.asked = static_cast<int>(urls.size());
    const double processSeconds = figures.seconds;
    figures.seconds = 0;
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string name;
        double value = 0;
        if (!(fields >> name >> value)) continue;
        if (name == "seconds") figures.seconds = value;
        if (name == "peak_rss_kb") figures.peakRssKb = std::max(figures.peakRssKb, static_cast<long>(value));
        if (name == "gave_up") figures.gaveUp = figures.gaveUp || value != 0;
        if (name == "busy_share") shares.busy = value;
        if (name == "cpu_share") shares.cpu = value;
        if (name == "wait_share") shares.wait = value;
    }
    std::tie(figures.saved, figures.bytes) = FolderContents(work / kKeyword);
    if (figures.reported && figures.seconds == 0) {
        // No figures came: the whole process stands in, and its output says why.
        figures.seconds = processSeconds;
        figures.gaveUp = true;
        std::fputs(Opening(log, 5).c_str(), stdout);
    }
    return figures;
}

// ---- Report -----------------------------------------------------------------

double Rate(const Figures& f) { return f.seconds > 0 ? f.saved / f.seconds : 0; }

bool Usable(const Figures& f) { return f.reported && !f.gaveUp && f.seconds > 0; }

// One line of a scenario's block: pictures/s (MB/s for big pictures), peak
// RSS, both as ratios against curl, then whatever fell short.
void PrintColumn(const char* name, const Figures& f, const Figures& curl, double expectedBytes, bool mbPerSecond,
                 const std::string& extra = {}) {
    if (!f.reported) {
        std::printf("  %-20s no report (the run died)\n", name);
        return;
    }
    std::printf("  %-20s %8.1f", name, Rate(f));
    if (mbPerSecond) std::printf(" %7.1f", f.seconds > 0 ? Mb(f.bytes) / f.seconds : 0.0);
    std::printf(" %8.1f", f.peakRssKb / 1024.0);
    if (&f == &curl) {
        std::printf("  %7s %6s", "1", "1");
    } else if (Usable(f) && Usable(curl) && Rate(curl) > 0 && curl.peakRssKb > 0) {
        std::printf("  %7.2f %6.2f", Rate(f) / Rate(curl), static_cast<double>(f.peakRssKb) / curl.peakRssKb);
    } else {
        std::printf("  %7s %6s", "-", "-");
    }
    std::string notes = extra;
    if (f.gaveUp) notes += " GAVE UP after " + std::to_string(static_cast<int>(f.seconds)) + " s";
    const auto count = [](double bytes) { return std::to_string(static_cast<long long>(bytes)); };
    if (f.saved != f.asked)
        notes += " (" + std::to_string(f.saved) + " of " + std::to_string(f.asked) + " saved)";
    else if (f.bytes != expectedBytes)
        notes += " (bytes differ: " + count(f.bytes) + " saved, " + count(expectedBytes) + " served)";
    if (f.exitCode != 0) notes += " (exit " + std::to_string(f.exitCode) + ")";
    std::printf("%s\n", notes.c_str());
}

struct Scenario {
    const char* kind;  // "small" or "big", as in the server's paths
    int count, workers;
    bool https;
};

struct Programs {
    std::optional<fs::path> curl, cli, window;
};

// Each column runs this many times, the rounds one after the other, and keeps
// its faster run: a burst of load from elsewhere on this shared machine then
// costs one run of each column rather than every run of one. The peak RSS is
// the higher of the rounds'.
constexpr int kRounds = 2;

// Every file under `folder` truncated to nothing. A run's files are
// emptied rather than removed: ext4 passes over inodes freed in the last
// minutes when it allocates new ones, so every run made after a removal of
// thousands of files pays for it, curl's included, and the figures would
// depend on what ran just before. Users save into folders where nothing
// was just removed. The scratch folder goes at the end of the bench.
void EmptyFiles(const fs::path& folder) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->is_regular_file(ec)) {
            // One that cannot be emptied only costs the next run a little.
            [[maybe_unused]] const int ignored = ::truncate(it->path().c_str(), 0);
        }
    }
}

struct Column {
    using Run = std::function<Figures(const fs::path& folder, WindowShares& shares)>;
    Column(const char* name, Run run) : name(name), run(std::move(run)) {}

    const char* name;
    Run run;
    Figures kept;
    WindowShares shares;
    bool ran = false;

    void runOnce(const fs::path& scratch, int serial) {
        const fs::path folder = scratch / std::to_string(serial);
        fs::create_directories(folder);
        WindowShares runShares;
        Figures f = run(folder, runShares);
        EmptyFiles(folder);
        if (!ran || (Usable(f) && (!Usable(kept) || Rate(f) > Rate(kept)))) {
            f.peakRssKb = std::max(f.peakRssKb, kept.peakRssKb);
            kept = f;
            shares = runShares;
        } else {
            kept.peakRssKb = std::max(kept.peakRssKb, f.peakRssKb);
        }
        ran = true;
    }
};

void RunScenario(const Scenario& s, const ServerProcess& server, const Programs& programs,
                 const fs::path& scratch, int& serial) {
    const bool big = std::string_view(s.kind) == "big";
    const std::vector<std::string> urls = server.urls(s.https, s.kind, s.count);
    const double expected = big ? server.facts().bigBytes : server.facts().smallBytes;
    // The load swings within one bench run here; each block says what it met.
    const std::string load = LoadAverage();
    std::printf("%d x %s, %s, N = %d (load %s)\n", s.count, big ? "5 MB" : "65 KB", s.https ? "HTTPS" : "HTTP",
                s.workers, load.substr(0, load.find(' ')).c_str());
    std::fflush(stdout);

    std::vector<Column> columns;
    if (programs.curl)
        columns.emplace_back("curl -Z", [&](const fs::path& folder, WindowShares&) {
            return CurlDownload(*programs.curl, urls, s.workers, s.https, folder);
        });
    columns.emplace_back("core, fake window", [&](const fs::path& folder, WindowShares&) {
        return InChild([&] { return CoreDownload(urls, s.workers, folder); });
    });
    if (programs.cli)
        columns.emplace_back("lumigrab-cli", [&](const fs::path& folder, WindowShares&) {
            return CliDownload(*programs.cli, urls, s.workers, folder);
        });
    if (programs.window)
        columns.emplace_back("window, offscreen", [&](const fs::path& folder, WindowShares& shares) {
            return WindowDownload(*programs.window, urls, s.workers, folder, shares);
        });
    for (int round = 0; round < kRounds; ++round)
        for (Column& column : columns) column.runOnce(scratch, ++serial);

    std::printf("  %-20s %8s%s %8s  %7s %6s\n", "", "pic/s", big ? "    MB/s" : "", "MB RSS", "x curl", "RSS x");
    const Figures noCurl;
    const Figures& curl = programs.curl ? columns.front().kept : noCurl;
    for (const Column& column : columns) {
        std::string extra;
        if (column.shares.busy) {
            // What the window thread ran is its own work; while awake
            // otherwise it waited for a core the workers and the server
            // kept busy, which holds up no worker.
            char text[160];
            if (column.shares.wait) {
                std::snprintf(text, sizeof text,
                              "  window thread on a core %.1f%% (awake %.1f%%, waiting for a core %.1f%%)",
                              100 * column.shares.cpu.value_or(0), 100 * *column.shares.busy,
                              100 * *column.shares.wait);
            } else {
                std::snprintf(text, sizeof text, "  window thread on a core %.1f%% (awake %.1f%%)",
                              100 * column.shares.cpu.value_or(0), 100 * *column.shares.busy);
            }
            extra = text;
        }
        PrintColumn(column.name, column.kept, curl, expected, big, extra);
    }
    std::printf("\n");
    std::fflush(stdout);
}

// ---- Result pages against one list ---------------------------------------

// The stand-in service in a process of its own, listing only JPEGs, so that
// every record is a picture and no run pays for serving.
class StandinProcess {
public:
    StandinProcess() {
        Pipe ready = Pipe::Make();
        std::fflush(nullptr);
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ready.read.reset();
            try {
                lumigrab::standin::StandinOptions options;
                options.kindCycle = {lumigrab::standin::PictureKind::Jpeg};
                options.elementVariants = false;
                options.maxConnections = 512;
                options.lifetime = 3600s;
                lumigrab::standin::StandinServer server(options);
                const int port = server.port();
                [[maybe_unused]] const ssize_t written = ::write(ready.write.get(), &port, sizeof port);
                for (;;) ::pause();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "stand-in: %s\n", e.what());
            }
            std::_Exit(1);
        }
        ready.write.reset();
        if (!ReadAll(ready.read.get(), &port_, sizeof port_, Clock::now() + 60s) || port_ == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            throw std::runtime_error("the stand-in did not start");
        }
    }
    ~StandinProcess() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    StandinProcess(const StandinProcess&) = delete;
    StandinProcess& operator=(const StandinProcess&) = delete;

    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

constexpr int kListedPages = 100;
constexpr int kListWorkers = 20;

// lumigrab-cli reading 100 result pages of 30 records, 3,000 in all, and
// downloading each page's pictures as the page comes in; the pages overlap
// as the service's do (each starts 20 after the one before), so they hold
// 2,010 pictures and list 990 of them twice, saved twice, fetched once.
// Beside it the same 3,000 records listed by one result page, read before
// the first picture is asked for: many pages must not be slower than one.
// And, for scale, the same records in hand at once as one list (a manifest
// resumed): no page read at all.
void PagesAgainstOnePage(const fs::path& cli, const fs::path& scratch, int& serial) {
    std::optional<StandinProcess> standin;
    try {
        standin.emplace();
    } catch (const std::exception& e) {
        std::printf("pages: no stand-in: %s\n", e.what());
        return;
    }
    const int pictures = (kListedPages - 1) * 20 + lumigrab::standin::kPageSize;
    std::vector<std::string> urls;
    for (int page = 0; page < kListedPages; ++page)
        for (int i = page * 20; i < page * 20 + lumigrab::standin::kPageSize; ++i)
            urls.push_back(standin->base() + "/pic/jpeg/" + std::to_string(i) + ".jpg");
    const std::string load = LoadAverage();
    std::printf("%zu records over %d pages (%d pictures), N = %d (load %s)\n", urls.size(), kListedPages, pictures,
                kListWorkers, load.substr(0, load.find(' ')).c_str());
    std::fflush(stdout);
    Column list("one list", [&](const fs::path& folder, WindowShares&) {
        return CliDownload(cli, urls, kListWorkers, folder);
    });
    // The whole command, harvest and download, on `keyword` read `depth` pages deep.
    const auto search = [&](const std::string& keyword, int depth) {
        return [&, keyword, depth](const fs::path& folder, WindowShares&) {
            const fs::path out = folder / "pictures";
            const fs::path log = folder / "cli.log";
            Figures figures = RunProgram({cli,
                                          {keyword, "-d", std::to_string(depth), "-j", std::to_string(kListWorkers),
                                           "--no-warm-up", "-o", out.string(), "-q"},
                                          {"https_proxy=" + standin->base()},
                                          folder,
                                          log});
            figures.asked = static_cast<int>(urls.size());
            std::tie(figures.saved, figures.bytes) = FolderContents(out);
            if (figures.reported && (figures.exitCode != 0 || figures.saved != figures.asked))
                std::fputs(Opening(log, 3).c_str(), stdout);
            return figures;
        };
    };
    Column onePage("one page", search("standin-all-pages-" + std::to_string(kListedPages), 1));
    Column pages("100 pages", search("standin-total-" + std::to_string(pictures), kListedPages));
    for (int round = 0; round < kRounds; ++round) {
        list.runOnce(scratch, ++serial);
        onePage.runOnce(scratch, ++serial);
        pages.runOnce(scratch, ++serial);
    }
    for (const Column* column : {&list, &onePage, &pages}) {
        const Figures& f = column->kept;
        std::printf("  %-20s %8.0f pic/s %6.1f MB RSS  %5.2fx one page (%.2fx one list)%s\n", column->name, Rate(f),
                    static_cast<double>(f.peakRssKb) / 1024, Rate(f) / Rate(onePage.kept), Rate(f) / Rate(list.kept),
                    f.saved != f.asked ? (" (saved " + std::to_string(f.saved) + " of " + std::to_string(f.asked) + ")").c_str() : "");
    }
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

int main() {
    std::printf("load at start: %s\n", LoadAverage().c_str());
    // Every address here is on the loopback; a proxy from the environment
    // would sit between some runs and the server.
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        ::unsetenv(name);

    Programs programs{FindOnPath("curl"), Sibling("lumigrab-cli"), Sibling("bench_window")};
    if (!programs.curl) std::printf("the curl tool is missing: no reference, no ratios\n");
    if (!programs.cli) std::printf("lumigrab-cli is not built beside this bench: no lumigrab-cli column\n");
    if (!programs.window) std::printf("bench_window is not built beside this bench: no window column\n");

    std::optional<ServerProcess> server;
    try {
        server.emplace();
    } catch (const std::exception& e) {
        std::printf("no picture server: %s\n", e.what());
        return 1;
    }
    const ServerFacts& facts = server->facts();
    // LUMIGRAB_BENCH_SERVE=FILE writes the small pictures' addresses there
    // and serves them until interrupted, for timing a program by hand.
    if (const char* serve = std::getenv("LUMIGRAB_BENCH_SERVE"); serve && *serve) {
        std::ofstream list(serve);
        for (const std::string& url : server->urls(false, "small", kSmallCount)) list << url << "\n";
        list.close();
        std::printf("serving; the addresses are in %s\n", serve);
        std::fflush(stdout);
        for (;;) ::pause();
    }
    std::printf("server: own process on 127.0.0.1, HTTP :%d, HTTPS :%d (self-signed); %d small noise JPEGs "
                "%dx%d (mean %.1f KB), %d big %dx%d (%.2f MB)\n",
                facts.httpPort, facts.httpsPort, kSmallCount, facts.smallWidth, facts.smallHeight,
                facts.smallBytes / kSmallCount / 1024, kBigCount, facts.bigWidth, facts.bigHeight,
                Mb(facts.bigBytes / kBigCount));
    std::printf("each column: the faster of %d rounds, the rounds interleaved; ratios are against curl in the\n"
                "same block. curl, lumigrab-cli and the window count their own memory, the core's run also\n"
                "the %.1f MB (libraries, mostly) it shares with this bench from the fork\n\n",
                kRounds, StatusKb("self", "VmRSS:") / 1024.0);

    const TempFolder scratch("lumigrab-bench");
    int serial = 0;
    // LUMIGRAB_BENCH_ONLY=small-http-5,big-http-20 runs those blocks alone
    // and skips the harvest, for looking closer at one figure.
    const char* only = std::getenv("LUMIGRAB_BENCH_ONLY");
    const auto chosen = [only](const Scenario& s) {
        if (!only || !*only) return true;
        const std::string name =
            std::string(s.kind) + (s.https ? "-https-" : "-http-") + std::to_string(s.workers);
        const std::string list = std::string(",") + only + ",";
        return list.find("," + name + ",") != std::string::npos;
    };
    for (const Scenario& s : {Scenario{"small", kSmallCount, 5, false}, Scenario{"small", kSmallCount, 20, false},
                              Scenario{"small", kSmallCount, 5, true}, Scenario{"small", kSmallCount, 20, true},
                              Scenario{"big", kBigCount, 20, false}})
        if (chosen(s)) RunScenario(s, *server, programs, scratch.path(), serial);
    server.reset();
    // LUMIGRAB_BENCH_ONLY=pages runs the pages against one page and one list alone.
    if (programs.cli && (!only || !*only || std::string(",") + only + "," == ",pages,"))
        PagesAgainstOnePage(*programs.cli, scratch.path(), serial);
    if (only && *only) return 0;

    const Figures harvest = InChild(CoreHarvest);
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
