// The window's column of bench_download: the real main window, the real
// cross-thread port and the real program, on whatever Qt platform the
// environment names (bench_download asks for offscreen). It lists one row per
// address, as a harvest would have, sets the thread count, clicks the download
// button and runs the event loop until the button is enabled again.
//
//   bench_window ADDRESSES THREADS FOLDER
//
// ADDRESSES holds one picture address a line; FOLDER stands in for the
// program's folder, and the program's places are decided for it as for its
// own: so the pictures land in FOLDER/bench, or, for the bin folder of an
// installed layout, in the user's Pictures/Lumigrab/bench (.ci/run's package
// check runs the window so). Prints one
// "name value" a line:
//   seconds      from the click to the button enabled again
//   saved        rows whose state is OK
//   peak_rss_kb  this process's memory high-water mark
//   busy_share   how much of that time the window thread was busy (the
//                window's own meter: awake, whether running or waiting for a core)
//   cpu_share    how much of that time the window thread ran on a core
//   wait_share   how much of it the window thread was ready to run but had
//                no core (the kernel's run-queue time; absent where it is not told)
//   gave_up      1 when the run did not end in time
// Run alone without arguments it says so and does nothing.
#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QTimer>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/program_info.h"
#include "port/controls.h"
#include "port/event_handlers.h"
#include "program/program.h"
#include "program/shell.h"
#include "window/busy_meter.h"
#include "window/cross_thread_port.h"
#include "window/main_window.h"
#include "window/window_controls.h"

namespace {

using namespace lumigrab;
using Clock = std::chrono::steady_clock;
namespace ctl = lumigrab::ctl;

// bench_download gives up on the whole process a little after this.
constexpr std::chrono::seconds kGiveUp{280};
// Time for the shown window to lay itself out and paint before the click, so
// the measured span holds the download alone.
constexpr int kSettleMs = 300;

// The program's handlers, all but the first activation's: the single-copy
// guard there would end this run whenever a person has Lumigrab open on the
// machine, and would keep theirs from starting while the bench runs.
class BenchHandlers : public EventHandlers {
public:
    explicit BenchHandlers(Program& program) : program_(program) {}
    void windowCreated() override { program_.windowCreated(); }
    void harvestClicked() override { program_.harvestClicked(); }
    void downloadClicked() override { program_.downloadClicked(); }
    void stopClicked() override { program_.stopClicked(); }
    void previousClicked() override { program_.previousClicked(); }
    void nextClicked() override { program_.nextClicked(); }
    void autoPreviewReleased() override { program_.autoPreviewReleased(); }
    void timerTick() override { program_.timerTick(); }

private:
    Program& program_;
};

// Calls `onEnabled` when the watched widget becomes enabled: the end of a
// run as its user sees it, without a timer waking the window thread to look.
class EnabledWatch : public QObject {
public:
    explicit EnabledWatch(std::function<void()> onEnabled) : onEnabled_(std::move(onEnabled)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::EnabledChange) {
            const auto* widget = qobject_cast<QWidget*>(watched);
            if (widget && widget->isEnabled() && onEnabled_) onEnabled_();
        }
        return false;
    }

private:
    std::function<void()> onEnabled_;
};

long HighWaterKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return 0;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// CPU time of the calling thread. On a loaded machine the window thread may be
// awake yet waiting for a core; this counts only what it ran.
double ThreadCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Seconds the calling thread has spent ready to run without a core, as the
// kernel counts them; nothing where it does not.
std::optional<double> RunQueueSeconds() {
    std::ifstream stat("/proc/thread-self/schedstat");
    unsigned long long running = 0, waiting = 0;
    if (!(stat >> running >> waiting)) return std::nullopt;
    return static_cast<double>(waiting) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::puts("bench_window: the window's column of bench_download, which runs it; nothing to do alone");
        return 0;
    }
    std::vector<std::string> addresses;
    {
        std::ifstream file(argv[1]);
        for (std::string line; std::getline(file, line);)
            if (!line.empty()) addresses.push_back(line);
    }
    const std::string threads = argv[2];
    const std::filesystem::path folder = std::filesystem::absolute(argv[3]);
    if (addresses.empty()) {
        std::fprintf(stderr, "bench_window: no addresses in %s\n", argv[1]);
        return 2;
    }

    QApplication app(argc, argv);
    ui::PrepareApplication(app);

    Program program(ProgramInfoFor(folder, "lumigrab"));
    BenchHandlers handlers(program);
    ui::MainWindow window(handlers, program.pictureList());
    ui::CrossThreadPort port(window.controls(), &window);
    program.attachWindow(port, [&window] { window.raiseMainWindow(); });
    window.showCentred();

    // As a harvest leaves it: one row per address, the thumbnail address the
    // same; only the full-size one is fetched (the radio box's default).
    std::vector<ImageRecord> rows;
    rows.reserve(addresses.size());
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        ImageRecord& row = rows.emplace_back();
        row.saveName = "picture " + std::to_string(i + 1);
        row.address = addresses[i];
        row.thumbnail = addresses[i];
    }
    program.pictureList().append(std::move(rows));
    ui::WindowControls& controls = window.controls();
    controls.setText(ctl::kKeyword, "bench");
    controls.setText(ctl::kThreadCount, threads);

    auto* button = controls.as<QAbstractButton>(ctl::kDownloadButton);
    if (!button) {
        std::fprintf(stderr, "bench_window: the window has no download button\n");
        return 2;
    }

    ui::BusyMeter meter;
    Clock::time_point clicked;
    Clock::duration busyAtClick{};
    double cpuAtClick = 0;
    std::optional<double> waitAtClick;
    bool running = false;
    const auto finish = [&](bool gaveUp) {
        if (!running) return;
        running = false;
        const Clock::time_point now = Clock::now();
        const double busy = Seconds(meter.busy() - busyAtClick);
        const double cpu = ThreadCpuSeconds() - cpuAtClick;
        const std::optional<double> waitNow = RunQueueSeconds();
        const double seconds = Seconds(now - clicked);
        int saved = 0;
        for (const auto& [id, row] : program.pictureList().rows()) saved += row.state == "OK";
        std::printf("seconds %.4f\nsaved %d\npeak_rss_kb %ld\nbusy_share %.4f\ncpu_share %.4f\ngave_up %d\n",
                    seconds, saved, HighWaterKb(), seconds > 0 ? busy / seconds : 0.0,
                    seconds > 0 ? cpu / seconds : 0.0, gaveUp ? 1 : 0);
        if (waitNow && waitAtClick && seconds > 0) std::printf("wait_share %.4f\n", (*waitNow - *waitAtClick) / seconds);
        // Workers still on their way out end with the process, as they do
        // when the window is closed.
        ui::FinishProcess(0);
    };
    EnabledWatch watch([&] { finish(false); });
    button->installEventFilter(&watch);

    QTimer::singleShot(kSettleMs, &window, [&] {
        running = true;
        clicked = Clock::now();
        busyAtClick = meter.busy();
        cpuAtClick = ThreadCpuSeconds();
        waitAtClick = RunQueueSeconds();
        button->click();
        // A run that ends within the click leaves the button enabled with no
        // change to see.
        if (button->isEnabled()) finish(false);
    });
    QTimer::singleShot(std::chrono::duration_cast<std::chrono::milliseconds>(kGiveUp), &window,
                       [&] { finish(true); });
    app.exec();
    ui::FinishProcess(1);
}
