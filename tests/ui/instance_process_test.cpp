// Real copies of the program on a private X server (Xvfb), driven with
// xdotool the way a user would: focus a window, press Return on a box.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/single_instance.h"
#include "text/encoding.h"

namespace lumigrab {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A child process that is killed and reaped if the test leaves it running,
// and dies with the test if the test dies.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::string& display) {
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
            if (!display.empty()) ::setenv("DISPLAY", display.c_str(), 1);
            ::unsetenv("QT_QPA_PLATFORM");
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
    }
    ~Child() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool running() {
        poll();
        return !status_;
    }
    // The exit code, or nullopt if it has not ended within `limit`.
    std::optional<int> waitExit(std::chrono::milliseconds limit) {
        auto deadline = Clock::now() + limit;
        while (running() && Clock::now() < deadline) std::this_thread::sleep_for(50ms);
        if (!status_ || !WIFEXITED(*status_)) return std::nullopt;
        return WEXITSTATUS(*status_);
    }

private:
    void poll() {
        int status = 0;
        if (pid_ > 0 && !status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    }
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Runs a tool to its end (bounded) and hands back what it printed.
std::string Capture(const std::vector<std::string>& argv, const std::string& display) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return {};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 2);
        ::setenv("DISPLAY", display.c_str(), 1);
        std::vector<std::string> full = {"timeout", "10"};
        full.insert(full.end(), argv.begin(), argv.end());
        std::vector<char*> args;
        for (const auto& a : full) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    char buffer[512];
    ssize_t n;
    while (text.size() < 65536 && (n = ::read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, n);
    ::close(out[0]);
    ::waitpid(pid, nullptr, 0);
    return text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s) {
    auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(100ms);
    }
    return condition();
}

// The marker's name appears in the kernel's socket table while some process
// holds it; looking does not disturb the holder.
bool MarkerHeld() {
    std::ifstream in("/proc/net/unix", std::ios::binary);
    std::string table((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return table.find("@" + InstanceMarkerName() + "\n") != std::string::npos;
}

std::vector<std::uint8_t> FileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class Display {
public:
    Display() {
        for (int n = 90 + ::getpid() % 100; n < 400 && display_.empty(); ++n) {
            if (fs::exists("/tmp/.X11-unix/X" + std::to_string(n)) ||
                fs::exists("/tmp/.X" + std::to_string(n) + "-lock")) {
                continue;
            }
            std::string name = ":" + std::to_string(n);
            server_ = std::make_unique<Child>(
                std::vector<std::string>{"Xvfb", name, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"},
                "");
            if (Eventually([&] { return fs::exists("/tmp/.X11-unix/X" + std::to_string(n)); }, 10s)) {
                display_ = name;
            } else {
                server_.reset();
            }
        }
    }
    const std::string& name() const { return display_; }

private:
    std::unique_ptr<Child> server_;
    std::string display_;
};

struct Program {
    const char* label;
    const char* path;
};
void PrintTo(const Program& p, std::ostream* os) { *os << p.label; }

class RealCopies : public ::testing::TestWithParam<Program> {
protected:
    static void SetUpTestSuite() { display_ = new Display(); }
    static void TearDownTestSuite() {
        delete display_;
        display_ = nullptr;
    }

    void SetUp() override {
        if (display_->name().empty()) GTEST_SKIP() << "no Xvfb";
        if (MarkerHeld()) GTEST_SKIP() << "a copy of the program already runs on this machine";
        folder_ = fs::temp_directory_path() /
                  ("lumigrab-copies-" + std::to_string(::getpid()) + "-" + GetParam().label + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        exe_ = folder_ / "lumigrab";
        fs::copy_file(GetParam().path, exe_);
        fs::permissions(exe_, fs::perms::owner_all);
    }
    void TearDown() override {
        if (!folder_.empty()) fs::remove_all(folder_);
    }

    std::unique_ptr<Child> Start() {
        return std::make_unique<Child>(std::vector<std::string>{exe_.string()}, display_->name());
    }
    std::vector<std::string> Windows(pid_t pid, const std::string& title) {
        // --all: xdotool's default is to match any one condition.
        return Lines(Capture({"xdotool", "search", "--all", "--onlyvisible", "--pid", std::to_string(pid),
                              "--name", "^" + title + "$"},
                             display_->name()));
    }
    std::string WaitWindow(pid_t pid, const std::string& title) {
        std::string id;
        // Generous: a loaded build machine can take long to start Qt.
        Eventually(
            [&] {
                auto found = Windows(pid, title);
                if (!found.empty()) id = found.front();
                return !id.empty();
            },
            40s);
        return id;
    }
    // What a user's click or Return key does.
    void Focus(const std::string& window) {
        Capture({"xdotool", "windowfocus", "--sync", window}, display_->name());
    }
    void PressReturn(const std::string& window) {
        Focus(window);
        Capture({"xdotool", "key", "--clearmodifiers", "Return"}, display_->name());
    }
    std::string FocusedWindow() {
        auto lines = Lines(Capture({"xdotool", "getwindowfocus", "-f"}, display_->name()));
        return lines.empty() ? std::string() : lines.front();
    }
    std::vector<std::string> AllWindows(pid_t pid) {
        return Lines(Capture({"xdotool", "search", "--all", "--pid", std::to_string(pid), "--name", ""},
                             display_->name()));
    }

    static Display* display_;
    fs::path folder_;
    fs::path exe_;
};
Display* RealCopies::display_ = nullptr;

const std::string kTitle = "Lumigrab";

TEST_P(RealCopies, SecondCopyTellsTheUserRaisesTheFirstAndEndsWithZero) {
    auto first = Start();
    std::string firstWindow = WaitWindow(first->pid(), kTitle);
    ASSERT_FALSE(firstWindow.empty()) << "the first copy never showed its window";
    Focus(firstWindow);  // its first activation takes the marker
    ASSERT_TRUE(Eventually(MarkerHeld)) << "the first copy never took the marker";

    auto second = Start();
    // The second copy is skinned and shown like any other before it learns
    // of the first; its first activation (here a focus, as a window manager
    // or a click would give it) runs the guard.
    std::string secondWindow = WaitWindow(second->pid(), kTitle);
    ASSERT_FALSE(secondWindow.empty()) << "the second copy never showed its window";
    Focus(secondWindow);
    std::string box = WaitWindow(second->pid(), GbkToUtf8(Gbk("友情提醒:")));
    ASSERT_FALSE(box.empty()) << "the second copy showed no message";
    // Until the box is answered the second copy waits, and the first is not touched.
    EXPECT_TRUE(second->running());
    PressReturn(box);

    EXPECT_EQ(second->waitExit(20s), std::optional<int>(0));
    EXPECT_TRUE(first->running()) << "the first copy runs on";
    auto firstWindows = AllWindows(first->pid());
    bool focusedFirst = Eventually(
        [&] {
            std::string focused = FocusedWindow();
            return std::find(firstWindows.begin(), firstWindows.end(), focused) != firstWindows.end();
        },
        5s);
    EXPECT_TRUE(focusedFirst) << "the first copy's window did not come forward";
    EXPECT_TRUE(MarkerHeld()) << "the first copy still holds the marker";
}

TEST_P(RealCopies, CopyStartedAfterTheFirstEndedRunsNormally) {
    {
        auto first = Start();
        std::string window = WaitWindow(first->pid(), kTitle);
        ASSERT_FALSE(window.empty());
        Focus(window);
        ASSERT_TRUE(Eventually(MarkerHeld));
        ::kill(first->pid(), SIGTERM);
        EXPECT_EQ(first->waitExit(20s), std::optional<int>(0));
    }
    EXPECT_TRUE(Eventually([] { return !MarkerHeld(); }, 5s)) << "the marker outlived its holder";

    auto later = Start();
    std::string window = WaitWindow(later->pid(), kTitle);
    ASSERT_FALSE(window.empty());
    Focus(window);
    ASSERT_TRUE(Eventually(MarkerHeld)) << "the later copy did not take the marker";
    std::this_thread::sleep_for(1500ms);
    auto boxes = Windows(later->pid(), GbkToUtf8(Gbk("友情提醒:")));
    EXPECT_TRUE(boxes.empty()) << testing::PrintToString(boxes);
    EXPECT_TRUE(later->running());
    ::kill(later->pid(), SIGTERM);
    EXPECT_EQ(later->waitExit(20s), std::optional<int>(0));
}

TEST_P(RealCopies, FolderNamedLikeTheLibraryEndsWith255BeforeTheWindowShows) {
    fs::create_directory(folder_ / "libSkinEngine.so");
    auto copy = Start();
    std::string box = WaitWindow(copy->pid(), GbkToUtf8(Gbk("错误")));
    ASSERT_FALSE(box.empty()) << "no fatal message";
    auto shown = Windows(copy->pid(), kTitle);
    EXPECT_TRUE(shown.empty()) << "the main window must not show: " << testing::PrintToString(shown);
    PressReturn(box);
    EXPECT_EQ(copy->waitExit(20s), std::optional<int>(255));
    EXPECT_TRUE(fs::is_directory(folder_ / "libSkinEngine.so"));
}

TEST_P(RealCopies, FirstStartWritesTheLibraryBesideTheExecutable) {
    auto copy = Start();
    std::string window = WaitWindow(copy->pid(), kTitle);
    ASSERT_FALSE(window.empty());
    auto written = FileBytes(folder_ / "libSkinEngine.so");
    auto built = FileBytes(LUMIGRAB_SKIN_ENGINE_FILE);
    EXPECT_FALSE(written.empty());
    EXPECT_EQ(written, built);
    ::kill(copy->pid(), SIGTERM);
    EXPECT_EQ(copy->waitExit(20s), std::optional<int>(0));
}

INSTANTIATE_TEST_SUITE_P(Programs, RealCopies,
                         ::testing::Values(Program{"Lumigrab", LUMIGRAB_EXE_FOR_INSTANCE}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace lumigrab
