#include "platform/single_instance.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <future>
#include <string>

#include "platform/platform_linux_instance.h"
#include "support/fake_window.h"
#include "text/encoding.h"

namespace lumigrab {
namespace {

using namespace std::chrono_literals;
using testing::FakeWindow;

// --- the guard's decisions, with fakes for the platform -------------------

class FakeMarker : public InstanceMarker {
public:
    explicit FakeMarker(MarkerState answer) : answer_(answer) {}
    MarkerState openOrCreate(const Text& name, std::function<void()> onRaise) override {
        ++calls;
        seenName = name;
        raise = std::move(onRaise);
        return answer_;
    }
    int calls = 0;
    Text seenName;
    std::function<void()> raise;

private:
    MarkerState answer_;
};

class FakeActivator : public WindowActivator {
public:
    FakeActivator(FakeWindow& window, bool answer) : window_(window), answer_(answer) {}
    bool bringForward(const Text& name, std::chrono::milliseconds limit) override {
        ++calls;
        seenName = name;
        seenLimit = limit;
        messagesBefore = window_.messages().size();
        return answer_;
    }
    int calls = 0;
    Text seenName;
    std::chrono::milliseconds seenLimit{0};
    std::size_t messagesBefore = 0;

private:
    FakeWindow& window_;
    bool answer_;
};

// Counts the hops onto the window thread, to show the raise goes that way.
class CountingWindow : public FakeWindow {
public:
    void runOnWindowThread(std::function<void()> work) override {
        ++hops;
        FakeWindow::runOnWindowThread(std::move(work));
    }
    std::atomic<int> hops{0};
};

TEST(InstanceMarkerName, IsTheGbkBytesOfTheName) {
    // 这个写了怎么没有用 in code page 936, nine double-byte characters.
    const unsigned char expected[] = {0xd5, 0xe2, 0xb8, 0xf6, 0xd0, 0xb4, 0xc1, 0xcb, 0xd4,
                                      0xf5, 0xc3, 0xb4, 0xc3, 0xbb, 0xd3, 0xd0, 0xd3, 0xc3};
    EXPECT_EQ(InstanceMarkerName(), Text(reinterpret_cast<const char*>(expected), sizeof expected));
}

struct RunOnCase {
    const char* name;
    MarkerState state;
};

class GuardRunsOn : public ::testing::TestWithParam<RunOnCase> {};

TEST_P(GuardRunsOn, NoMessageNoActivationNoExit) {
    CountingWindow window;
    FakeMarker marker(GetParam().state);
    FakeActivator activator(window, true);
    int raised = 0;
    auto result = GuardSingleInstance(window, marker, activator, [&raised] { ++raised; });
    EXPECT_FALSE(result.has_value());
    EXPECT_EQ(marker.calls, 1);
    EXPECT_EQ(marker.seenName, InstanceMarkerName());
    EXPECT_TRUE(window.messages().empty());
    EXPECT_EQ(activator.calls, 0);
    EXPECT_EQ(raised, 0);
}

INSTANTIATE_TEST_SUITE_P(Guard, GuardRunsOn,
                         ::testing::Values(RunOnCase{"FirstCopy", MarkerState::Created},
                                           RunOnCase{"NoMarkerOnPlatform",
                                                     MarkerState::Unavailable}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Guard, FirstCopyRaisesItsWindowOnTheWindowThreadWhenAsked) {
    CountingWindow window;
    FakeMarker marker(MarkerState::Created);
    FakeActivator activator(window, true);
    int raised = 0;
    GuardSingleInstance(window, marker, activator, [&raised] { ++raised; });
    ASSERT_TRUE(marker.raise);
    marker.raise();
    marker.raise();
    EXPECT_EQ(raised, 2);
    EXPECT_EQ(window.hops.load(), 2);
}

class GuardSecondCopy : public ::testing::TestWithParam<bool> {};

TEST_P(GuardSecondCopy, TellsTheUserThenActivatesThenEndsWithZero) {
    CountingWindow window;
    FakeMarker marker(MarkerState::HeldByOther);
    FakeActivator activator(window, GetParam());
    int raised = 0;
    auto result = GuardSingleInstance(window, marker, activator, [&raised] { ++raised; }, 1234ms);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, 0);  // ends whether or not the other window came forward

    auto shown = window.messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].message, Gbk("请不要重复运行以防出错"));
    EXPECT_EQ(shown[0].caption, Gbk("友情提醒:"));
    EXPECT_EQ(shown[0].icon, MessageIcon::None);

    EXPECT_EQ(activator.calls, 1);
    EXPECT_EQ(activator.messagesBefore, 1u) << "the window is brought forward after the box";
    EXPECT_EQ(activator.seenName, InstanceMarkerName());
    EXPECT_EQ(activator.seenLimit, 1234ms);
    EXPECT_EQ(raised, 0) << "a second copy never raises its own window";
}

INSTANTIATE_TEST_SUITE_P(Guard, GuardSecondCopy, ::testing::Bool(),
                         [](const auto& info) {
                             return std::string(info.param ? "OtherAnswers" : "OtherSilent");
                         });

TEST(Guard, DefaultLimitIsBounded) {
    EXPECT_GT(kBringForwardLimit, 0ms);
    EXPECT_LE(kBringForwardLimit, 30s);
}

// --- the Linux marker and activator, with real sockets ---------------------

// A name no running copy of the program uses, unique to the test.
Text TestName(const char* test) {
    return ConcatText(InstanceMarkerName(), "-test-", std::to_string(::getpid()), "-", test);
}

// A raw client, for requests the activator would never send.
UniqueFd Connect(const Text& name) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), length) != 0) return UniqueFd();
    return fd;
}

// Reads until the holder closes (true) or 5 s pass (false).
bool ClosedByHolder(int fd, std::string* got) {
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buffer[64];
    for (;;) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0) return true;
        // Closing with our bytes still unread resets the connection instead.
        if (n < 0) return errno == ECONNRESET;
        got->append(buffer, static_cast<std::size_t>(n));
    }
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST(LinuxMarker, HeldOnceAndReleasedWithItsHolder) {
    Text name = TestName("held");
    {
        LinuxInstanceMarker first;
        ASSERT_EQ(first.openOrCreate(name, {}), MarkerState::Created);
        EXPECT_EQ(first.openOrCreate(name, {}), MarkerState::Created) << "asking again is harmless";
        LinuxInstanceMarker second;
        EXPECT_EQ(second.openOrCreate(name, {}), MarkerState::HeldByOther);
    }
    LinuxInstanceMarker later;
    EXPECT_EQ(later.openOrCreate(name, {}), MarkerState::Created)
        << "a copy started after the first has ended runs normally";
}

TEST(LinuxMarker, NameTooLongForTheSocketIsUnavailable) {
    LinuxInstanceMarker marker;
    EXPECT_EQ(marker.openOrCreate(Text(200, 'x'), {}), MarkerState::Unavailable);
    EXPECT_EQ(marker.openOrCreate(Text(), {}), MarkerState::Unavailable);
}

TEST(LinuxActivator, RaiseRequestReachesTheHolder) {
    Text name = TestName("raise");
    std::atomic<int> raised{0};
    LinuxInstanceMarker holder;
    ASSERT_EQ(holder.openOrCreate(name, [&raised] { ++raised; }), MarkerState::Created);
    LinuxWindowActivator activator;
    EXPECT_TRUE(activator.bringForward(name, 5s));
    EXPECT_TRUE(activator.bringForward(name, 5s));
    EXPECT_EQ(raised.load(), 2);
    EXPECT_EQ(holder.requestsServed(), 2);
}

TEST(LinuxActivator, NobodyHoldingTheNameGivesUpAtOnce) {
    LinuxWindowActivator activator;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(activator.bringForward(TestName("nobody"), 60s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << "must not wait out the limit";
}

TEST(LinuxActivator, BusyHolderIsAbandonedAtTheLimitWithoutSpinning) {
    Text name = TestName("busy");
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    LinuxInstanceMarker holder;
    ASSERT_EQ(holder.openOrCreate(name, [released] { released.wait(); }), MarkerState::Created);

    LinuxWindowActivator activator;
    double cpuBefore = CpuSeconds();
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(activator.bringForward(name, 800ms));
    auto waited = std::chrono::steady_clock::now() - start;
    double cpu = CpuSeconds() - cpuBefore;
    release.set_value();

    EXPECT_GE(waited, 750ms);
    EXPECT_LT(waited, 5s);
    EXPECT_LT(cpu, 0.4) << "the wait must sleep, not spin";
}

TEST(LinuxMarker, SilentClientIsDroppedAndDoesNotBlockLaterRequests) {
    Text name = TestName("silent");
    std::atomic<int> raised{0};
    LinuxInstanceMarker holder(200ms);
    ASSERT_EQ(holder.openOrCreate(name, [&raised] { ++raised; }), MarkerState::Created);

    UniqueFd silent = Connect(name);
    ASSERT_TRUE(silent);
    LinuxWindowActivator activator;
    EXPECT_TRUE(activator.bringForward(name, 5s));
    EXPECT_EQ(raised.load(), 1);
    std::string got;
    EXPECT_TRUE(ClosedByHolder(silent.get(), &got));
    EXPECT_EQ(got, "");
}

struct BadRequest {
    const char* name;
    std::string bytes;
};

void PrintTo(const BadRequest& r, std::ostream* os) { *os << r.name; }

class LinuxMarkerRejects : public ::testing::TestWithParam<BadRequest> {};

TEST_P(LinuxMarkerRejects, WithoutRaisingAndWithoutAnswer) {
    Text name = TestName(GetParam().name);
    std::atomic<int> raised{0};
    LinuxInstanceMarker holder(300ms);
    ASSERT_EQ(holder.openOrCreate(name, [&raised] { ++raised; }), MarkerState::Created);

    UniqueFd client = Connect(name);
    ASSERT_TRUE(client);
    const std::string& bytes = GetParam().bytes;
    if (!bytes.empty()) {
        ASSERT_EQ(::send(client.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    std::string got;
    EXPECT_TRUE(ClosedByHolder(client.get(), &got));
    EXPECT_EQ(got, "");
    EXPECT_EQ(raised.load(), 0);
    EXPECT_EQ(holder.connectionsSeen(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, LinuxMarkerRejects,
    ::testing::Values(BadRequest{"Nothing", ""}, BadRequest{"CutShort", "rais"},
                      BadRequest{"WrongCase", "RAISE\n"}, BadRequest{"NoNewline", "raise!"},
                      BadRequest{"Flood", std::string(4096, 'r')},
                      BadRequest{"ZeroBytes", std::string(6, '\0')}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LinuxMarker, ExtraBytesAfterTheRequestAreIgnored) {
    Text name = TestName("extra");
    std::atomic<int> raised{0};
    LinuxInstanceMarker holder(300ms);
    ASSERT_EQ(holder.openOrCreate(name, [&raised] { ++raised; }), MarkerState::Created);
    UniqueFd client = Connect(name);
    ASSERT_TRUE(client);
    std::string twice = std::string(kRaiseRequest) + std::string(kRaiseRequest);
    ASSERT_EQ(::send(client.get(), twice.data(), twice.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(twice.size()));
    std::string got;
    EXPECT_TRUE(ClosedByHolder(client.get(), &got));
    EXPECT_EQ(got, kRaiseDone);
    EXPECT_EQ(raised.load(), 1) << "one request per connection";
}

// The whole guard over real sockets: two "copies" in one process.
TEST(GuardOnLinux, SecondCopyRaisesTheFirstAndEnds) {
    Text name = TestName("guard");
    CountingWindow firstWindow, secondWindow;
    std::atomic<int> firstRaised{0}, secondRaised{0};

    // The guard names the real marker; stand in a renaming marker so the test
    // does not touch a copy of the program that may be running.
    struct Renaming : LinuxInstanceMarker {
        explicit Renaming(Text n) : name(std::move(n)) {}
        MarkerState openOrCreate(const Text&, std::function<void()> cb) override {
            return LinuxInstanceMarker::openOrCreate(name, std::move(cb));
        }
        Text name;
    };
    struct RenamingActivator : LinuxWindowActivator {
        explicit RenamingActivator(Text n) : name(std::move(n)) {}
        bool bringForward(const Text&, std::chrono::milliseconds limit) override {
            answered = LinuxWindowActivator::bringForward(name, limit);
            return answered;
        }
        Text name;
        bool answered = false;
    };

    Renaming firstMarker(name), secondMarker(name);
    RenamingActivator firstActivator(name), secondActivator(name);
    EXPECT_FALSE(GuardSingleInstance(firstWindow, firstMarker, firstActivator,
                                     [&firstRaised] { ++firstRaised; })
                     .has_value());
    auto second = GuardSingleInstance(secondWindow, secondMarker, secondActivator,
                                      [&secondRaised] { ++secondRaised; });
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(*second, 0);
    EXPECT_TRUE(secondActivator.answered);
    EXPECT_EQ(firstRaised.load(), 1);
    EXPECT_EQ(secondRaised.load(), 0);
    EXPECT_GE(firstWindow.hops.load(), 1);
    EXPECT_TRUE(firstWindow.messages().empty());
    EXPECT_EQ(secondWindow.messages().size(), 1u);
}

}  // namespace
}  // namespace lumigrab
