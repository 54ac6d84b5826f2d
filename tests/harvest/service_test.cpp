// What the service's answers become: which cookies follow a redirect, and
// what a person reads about a page.
#include <gtest/gtest.h>

#include <string>

#include "harvest/service.h"
#include "support/loopback_server.h"

namespace lumigrab::testing {
namespace {

// Each hop's cookies are its own host's, those it is sent and those it sets.
TEST(GetFollowingTest, SessionCookiesDoNotFollowARedirectToAnotherHost) {
    LoopbackServer elsewhere([](const LoopbackRequest&) {
        LoopbackReply reply;
        reply.headers = {"Set-Cookie: hop=2; Path=/"};
        return reply;
    });
    // Another name for the same loopback address is another host to a browser.
    const std::string elsewhereUrl = "http://localhost:" + std::to_string(elsewhere.port()) + "/x";
    LoopbackServer service([&](const LoopbackRequest& request) {
        if (request.target == "/") {
            LoopbackReply reply;
            reply.headers = {"Set-Cookie: sid=7; Path=/"};
            return reply;
        }
        return LoopbackReply::Redirect(302, elsewhereUrl);
    });

    CookieJar jar;
    GetFollowing(service.url("/"), jar, nullptr);
    const ServiceAnswer answer = GetFollowing(service.url("/page"), jar, nullptr);

    ASSERT_EQ(answer.redirects.size(), 1u);
    ASSERT_EQ(service.requestCount(), 2u);
    EXPECT_EQ(service.requests()[1].header("Cookie"), "sid=7");
    ASSERT_EQ(elsewhere.requestCount(), 1u);
    EXPECT_EQ(elsewhere.requests()[0].header("Cookie"), std::nullopt);
    EXPECT_EQ(jar.cookiesFor(elsewhereUrl), "hop=2");
    EXPECT_EQ(jar.cookiesFor(service.url("/page")), "sid=7");
}

struct HopCase {
    const char* name;
    int status;
    std::string location;
    std::string followedTo;  // the target path asked next; empty: no second request
    std::string stopped;
};
void PrintTo(const HopCase& c, std::ostream* out) { *out << c.name; }

class GetFollowingHopTest : public ::testing::TestWithParam<HopCase> {};

TEST_P(GetFollowingHopTest, FollowsRedirectsToHttpOnly) {
    const HopCase& c = GetParam();
    LoopbackServer server([&](const LoopbackRequest& request) {
        if (request.target == "/dir/start") return LoopbackReply::Redirect(c.status, c.location);
        return LoopbackReply{};
    });
    CookieJar jar;
    const ServiceAnswer answer = GetFollowing(server.url("/dir/start"), jar, nullptr);
    const auto requests = server.requests();
    if (c.followedTo.empty()) {
        EXPECT_TRUE(answer.redirects.empty());
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(requests.size(), 1u);
    } else {
        ASSERT_EQ(answer.redirects.size(), 1u);
        EXPECT_EQ(answer.redirects[0].status, c.status);
        EXPECT_EQ(answer.redirects[0].target, server.url(c.followedTo));
        EXPECT_EQ(answer.status, 200);
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[1].target, c.followedTo);
    }
    EXPECT_EQ(answer.stopped, c.stopped);
}

INSTANTIATE_TEST_SUITE_P(
    Hops, GetFollowingHopTest,
    ::testing::Values(
        HopCase{"Moved", 301, "/a", "/a", ""},
        HopCase{"SeeOther", 303, "next?x=1", "/dir/next?x=1", ""},
        HopCase{"Temporary", 307, "/b", "/b", ""},
        HopCase{"Permanent", 308, "/c", "/c", ""},
        HopCase{"NotModifiedIsNoRedirect", 304, "/d", "", ""},
        HopCase{"ToAFile", 302, "file:///etc/passwd", "",
                "redirect to file:///etc/passwd, not an http(s) address"},
        HopCase{"ToGopher", 301, "gopher://127.0.0.1/1", "",
                "redirect to gopher://127.0.0.1/1, not an http(s) address"}),
    [](const auto& info) { return std::string(info.param.name); });

struct TitleCase {
    const char* name;
    std::string title;
    std::string shown;
};
void PrintTo(const TitleCase& c, std::ostream* out) { *out << c.name; }

class PageTitleTest : public ::testing::TestWithParam<TitleCase> {};

TEST_P(PageTitleTest, NothingReachesTheTerminalThatCommandsIt) {
    const TitleCase& c = GetParam();
    const std::string page = "<html><head><title>" + c.title + "</title></head></html>";
    EXPECT_EQ(PageTitle(Bytes(page.begin(), page.end())), c.shown);
}

INSTANTIATE_TEST_SUITE_P(
    Controls, PageTitleTest,
    ::testing::Values(TitleCase{"Escape", "red\x1b[31m!", "red [31m!"},
                      TitleCase{"C1", "a\xc2\x9b" "2Jb\xc2\x85" "c", "a2Jbc"},
                      TitleCase{"BidiOverride", "abc\xe2\x80\xae" "gpj.exe", "abcgpj.exe"},
                      TitleCase{"BidiIsolate", "\xe2\x81\xa6x\xe2\x81\xa9", "x"},
                      TitleCase{"NotUtf8", "a\x9b" "b", "a\xef\xbf\xbd" "b"},
                      // The first and last character of each length, and what lies just past them.
                      TitleCase{"EdgesOfUtf8",
                                "\xc2\x80|\xdf\xbf|\xe0\xa0\x80|\xe0\x9f\xbf|\xed\x9f\xbf|\xed\xa0\x80|"
                                "\xee\x80\x80|\xf0\x90\x80\x80|\xf0\x8f\xbf\xbf|\xf4\x8f\xbf\xbf|\xf4\x90\x80\x80",
                                "|\xdf\xbf|\xe0\xa0\x80|\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd|\xed\x9f\xbf|"
                                "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd|\xee\x80\x80|\xf0\x90\x80\x80|"
                                "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd|\xf4\x8f\xbf\xbf|"
                                "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
                      TitleCase{"Kept", "百度 安全", "百度 安全"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DescribeAnswerTest, PageOverTheBodyCapSaysSo) {
    ServiceAnswer answer;
    answer.status = 200;
    answer.failure = HttpFailure::TooLarge;
    const std::string text = DescribeAnswer(answer);
    EXPECT_NE(text.find("HTTP 200, page too large"), std::string::npos) << text;
    EXPECT_EQ(text.find("empty body"), std::string::npos) << text;
}

}  // namespace
}  // namespace lumigrab::testing
