// Real copies of the program on a private X server (Xvfb), driven with
// xdotool the way a user would: focus a window, press Return on a box.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/child.h"
#include "support/eventually.h"
#include "support/files.h"
#include "support/own_network.h"
#include "support/x_desktop.h"
#include "text/encoding.h"

namespace lumigrab {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Child;
using testing::Eventually;
using testing::InstanceMarkerHeld;



struct Program {
    const char* label;
    const char* path;
};
void PrintTo(const Program& p, std::ostream* os) { *os << p.label; }

class RealCopies : public ::testing::TestWithParam<Program> {
protected:
    static void SetUpTestSuite() {
        display_ = testing::VirtualDisplay::Start(20s).release();
        if (display_) hands_ = new testing::Hands(display_->name());
    }
    static void TearDownTestSuite() {
        delete hands_;
        hands_ = nullptr;
        delete display_;
        display_ = nullptr;
    }

    void SetUp() override {
        if (!display_) GTEST_SKIP() << "no Xvfb";
        if (!testing::OwnNetworkProblem().empty()) GTEST_SKIP() << testing::OwnNetworkProblem();
        folder_ = std::make_unique<testing::TempFolder>("lumigrab-copies");
        exe_ = *folder_ / "lumigrab";
        fs::copy_file(GetParam().path, exe_);
        fs::permissions(exe_, fs::perms::owner_all);
    }
    void TearDown() override { folder_.reset(); }

    std::unique_ptr<Child> Start() {
        return std::make_unique<Child>(std::vector<std::string>{exe_.string()},
                                       testing::OnDisplay(display_->name()));
    }
    std::vector<std::string> Windows(pid_t pid, const std::string& title) {
        return hands_->windows(pid, title);
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
            40s, 100ms);
        return id;
    }
    // What a user's click or Return key does.
    void Focus(const std::string& window) { hands_->focus(window); }
    void PressReturn(const std::string& window) {
        Focus(window);
        hands_->keyAlone("Return");
    }
    std::string FocusedWindow() { return hands_->focusedWindow(); }
    std::vector<std::string> AllWindows(pid_t pid) { return hands_->allWindows(pid); }

    static testing::VirtualDisplay* display_;
    static testing::Hands* hands_;
    std::unique_ptr<testing::TempFolder> folder_;
    fs::path exe_;
};
testing::VirtualDisplay* RealCopies::display_ = nullptr;
testing::Hands* RealCopies::hands_ = nullptr;

const std::string kTitle = "Lumigrab";

TEST_P(RealCopies, SecondCopyTellsTheUserRaisesTheFirstAndEndsWithZero) {
    auto first = Start();
    std::string firstWindow = WaitWindow(first->pid(), kTitle);
    ASSERT_FALSE(firstWindow.empty()) << "the first copy never showed its window";
    Focus(firstWindow);  // its first activation takes the marker
    ASSERT_TRUE(Eventually(InstanceMarkerHeld)) << "the first copy never took the marker";

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
    EXPECT_TRUE(InstanceMarkerHeld()) << "the first copy still holds the marker";
}

TEST_P(RealCopies, CopyStartedAfterTheFirstEndedRunsNormally) {
    {
        auto first = Start();
        std::string window = WaitWindow(first->pid(), kTitle);
        ASSERT_FALSE(window.empty());
        Focus(window);
        ASSERT_TRUE(Eventually(InstanceMarkerHeld));
        first->signal(SIGTERM);
        EXPECT_EQ(first->waitExit(20s), std::optional<int>(0));
    }
    EXPECT_TRUE(Eventually([] { return !InstanceMarkerHeld(); }, 5s)) << "the marker outlived its holder";

    auto later = Start();
    std::string window = WaitWindow(later->pid(), kTitle);
    ASSERT_FALSE(window.empty());
    Focus(window);
    ASSERT_TRUE(Eventually(InstanceMarkerHeld)) << "the later copy did not take the marker";
    std::this_thread::sleep_for(1500ms);
    auto boxes = Windows(later->pid(), GbkToUtf8(Gbk("友情提醒:")));
    EXPECT_TRUE(boxes.empty()) << ::testing::PrintToString(boxes);
    EXPECT_TRUE(later->running());
    later->signal(SIGTERM);
    EXPECT_EQ(later->waitExit(20s), std::optional<int>(0));
}

TEST_P(RealCopies, FolderNamedLikeTheLibraryEndsWith255BeforeTheWindowShows) {
    fs::create_directory(*folder_ / "libSkinEngine.so");
    auto copy = Start();
    std::string box = WaitWindow(copy->pid(), GbkToUtf8(Gbk("错误")));
    ASSERT_FALSE(box.empty()) << "no fatal message";
    auto shown = Windows(copy->pid(), kTitle);
    EXPECT_TRUE(shown.empty()) << "the main window must not show: " << ::testing::PrintToString(shown);
    PressReturn(box);
    EXPECT_EQ(copy->waitExit(20s), std::optional<int>(255));
    EXPECT_TRUE(fs::is_directory(*folder_ / "libSkinEngine.so"));
}

TEST_P(RealCopies, FirstStartWritesTheLibraryBesideTheExecutable) {
    auto copy = Start();
    std::string window = WaitWindow(copy->pid(), kTitle);
    ASSERT_FALSE(window.empty());
    auto written = testing::ReadFile(*folder_ / "libSkinEngine.so");
    auto built = testing::ReadFile(LUMIGRAB_SKIN_ENGINE_FILE);
    EXPECT_FALSE(written.empty());
    EXPECT_EQ(written, built);
    copy->signal(SIGTERM);
    EXPECT_EQ(copy->waitExit(20s), std::optional<int>(0));
}

INSTANTIATE_TEST_SUITE_P(Programs, RealCopies,
                         ::testing::Values(Program{"Lumigrab", LUMIGRAB_EXE_FOR_INSTANCE}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace lumigrab
