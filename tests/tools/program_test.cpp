// lumigrab-standin as a program: it reports its port, serves through the
// tunnel, and ends on SIGTERM or when its lifetime is over.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "standin_client.h"
#include "support/child.h"
#include "tools/standin/standin.h"

namespace lumigrab::standin {
namespace {

using namespace std::chrono_literals;
using lumigrab::testing::Child;
using lumigrab::testing::ChildStart;
using lumigrab::testing::CurrentEnvironment;

std::string Program() { return std::string(LUMIGRAB_BIN_DIR) + "/lumigrab-standin"; }

TEST(Program, ServesThroughTunnelAndStopsOnSigterm) {
    if (!std::filesystem::exists(Program())) GTEST_SKIP() << "lumigrab-standin not built";
    Child child({Program(), "--port", "0", "--print-port", "--lifetime-seconds", "60", "--total", "40"},
                CurrentEnvironment(), ChildStart{.captureStdout = true});
    ASSERT_GT(child.pid(), 0);
    const std::string port = child.readLine(10s);
    ASSERT_FALSE(port.empty());
    testing::FetchOptions viaProxy;
    viaProxy.proxy = "http://127.0.0.1:" + port;
    const auto page = testing::Fetch(
        "https://image.baidu.com" + StandinServer::FlipPathAndQuery("cat", 20), viaProxy);
    ASSERT_TRUE(page.ok());
    // --total 40: elements 20..39 and the closing {}.
    EXPECT_NE(page.body.find("\"pageNum\":39"), std::string::npos);
    EXPECT_EQ(page.body.find("\"pageNum\":40"), std::string::npos);
    child.signal(SIGTERM);
    EXPECT_EQ(child.waitExit(10s), 0);
}

TEST(Program, LifetimeEndsIt) {
    if (!std::filesystem::exists(Program())) GTEST_SKIP() << "lumigrab-standin not built";
    Child child({Program(), "--print-port", "--lifetime-seconds", "1"}, CurrentEnvironment(),
                ChildStart{.captureStdout = true});
    ASSERT_FALSE(child.readLine(10s).empty());
    EXPECT_EQ(child.waitExit(10s), 0);
}

TEST(Program, BadArgumentsFail) {
    if (!std::filesystem::exists(Program())) GTEST_SKIP() << "lumigrab-standin not built";
    for (std::vector<std::string> args : {std::vector<std::string>{"--port", "70000"},
                                          std::vector<std::string>{"--lifetime-seconds"},
                                          std::vector<std::string>{"--total", "12x"},
                                          std::vector<std::string>{"--unknown"}}) {
        args.insert(args.begin(), Program());
        Child child(args);
        EXPECT_EQ(child.waitExit(10s), 2) << args[1];
    }
}

}  // namespace
}  // namespace lumigrab::standin
