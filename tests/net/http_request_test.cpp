#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "net/http_connection.h"
#include "net/http_request.h"
#include "net/redirects.h"
#include "net_test_support.h"
#include "support/loopback_server.h"

namespace lumigrab {
namespace {

using testing::LoopbackReply;
using testing::LoopbackRequest;
using testing::LoopbackServer;

const std::string kDefaultTail =
    "Accept-Language: zh-cn\r\n"
    "User-Agent: Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)\r\n"
    "Content-Type: application/x-www-form-urlencoded\r\n";

std::string HostLine(const LoopbackServer& server) {
    return "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n";
}

// A port on which nobody listens: bound, never listened on, then released.
std::uint16_t DeadPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

TEST(HttpRequestWire, BareCallSendsFiveDefaultsInOrder) {
    LoopbackServer server([](const LoopbackRequest&) { return Body("hello"); });
    const std::string url = server.url("/p?x=1");
    int status = -1;
    HttpOptions options;
    options.statusCode = &status;
    EXPECT_EQ(AsString(HttpRequest(url, options)), "hello");
    EXPECT_EQ(status, 200);
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(server.requests()[0].raw, "GET /p?x=1 HTTP/1.1\r\n" + HostLine(server) +
                                            "Accept: */*\r\nReferer: " + url + "\r\n" + kDefaultTail +
                                            "\r\n");
}

struct WireCase {
    const char* name;
    Text cookies;
    Text extraHeaders;
    std::string expectedHeaders;  // after Host; "{url}" stands for the address
};

class HttpRequestHeaderWire : public ::testing::TestWithParam<WireCase> {};

TEST_P(HttpRequestHeaderWire, CallerLinesThenMissingDefaults) {
    LoopbackServer server([](const LoopbackRequest&) { return Body(""); });
    const std::string url = server.url("/w");
    Text cookies = GetParam().cookies;
    Text block = GetParam().extraHeaders;
    HttpOptions options;
    options.cookies = &cookies;
    options.extraHeaders = &block;
    HttpRequest(url, options);
    std::string expected = GetParam().expectedHeaders;
    if (const auto at = expected.find("{url}"); at != std::string::npos) expected.replace(at, 5, url);
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(server.requests()[0].raw, "GET /w HTTP/1.1\r\n" + HostLine(server) + expected + "\r\n");
    // The caller's block comes back completed; the Cookie line is not part of it.
    const std::size_t blockStart = cookies.empty() ? 0 : expected.find("\r\n") + 2;
    EXPECT_EQ(block + "\r\n", expected.substr(blockStart));
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, HttpRequestHeaderWire,
    ::testing::Values(
        WireCase{"LowerCaseAccept", "", "accept: text/html",
                 "accept: text/html\r\nAccept: */*\r\nReferer: {url}\r\n" + kDefaultTail},
        WireCase{"RefererGiven", "", "Referer: x", "Referer: x\r\nAccept: */*\r\n" + kDefaultTail},
        WireCase{"CookieBeforeEverything", "a=1; b=2", "X-A: 1",
                 "Cookie: a=1; b=2\r\nX-A: 1\r\nAccept: */*\r\nReferer: {url}\r\n" + kDefaultTail},
        WireCase{"MarkerInValueMeansNoAccept", "", "X-Note: Accept: y",
                 "X-Note: Accept: y\r\nReferer: {url}\r\n" + kDefaultTail},
        WireCase{"DuplicateNamesBothSent", "", "X-B: 1\r\nX-B: 2",
                 "X-B: 1\r\nX-B: 2\r\nAccept: */*\r\nReferer: {url}\r\n" + kDefaultTail}),
    [](const ::testing::TestParamInfo<WireCase>& info) { return std::string(info.param.name); });

TEST(HttpRequestWire, LineWithoutColonNeverReachesServer) {
    LoopbackServer server([](const LoopbackRequest&) { return Body("ok"); });
    Text block = "junk\r\nX-Split: 1\nEvil: 2\r\nX-Empty:";
    HttpOptions options;
    options.extraHeaders = &block;
    EXPECT_EQ(AsString(HttpRequest(server.url("/"), options)), "ok");
    const std::string raw = server.requests().at(0).raw;
    EXPECT_EQ(raw.find("junk"), std::string::npos);
    EXPECT_EQ(raw.find("Evil"), std::string::npos);
    EXPECT_NE(raw.find("\r\nX-Empty:\r\n"), std::string::npos);
}

struct MethodCase {
    int accessMode;
    const char* method;
};

class HttpRequestMethod : public ::testing::TestWithParam<MethodCase> {};

TEST_P(HttpRequestMethod, AccessModeChoosesMethod) {
    LoopbackServer server([](const LoopbackRequest&) { return Body("body"); });
    HttpOptions options;
    options.accessMode = GetParam().accessMode;
    HttpRequest(server.url("/m"), options);
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(server.requests()[0].method, GetParam().method);
}

INSTANTIATE_TEST_SUITE_P(Modes, HttpRequestMethod,
                         ::testing::Values(MethodCase{0, "GET"}, MethodCase{1, "POST"}, MethodCase{2, "HEAD"},
                                           MethodCase{3, "GET"}, MethodCase{-1, "GET"}));

TEST(HttpRequestBody, PostBytesWinOverPostText) {
    LoopbackServer server([](const LoopbackRequest&) { return Body("done"); });
    HttpOptions options;
    options.accessMode = 1;
    options.postText = "text=1";
    options.postBytes = {0x00, 0xFF, 'x', '\r'};
    EXPECT_EQ(AsString(HttpRequest(server.url("/post"), options)), "done");
    const LoopbackRequest request = server.requests().at(0);
    EXPECT_EQ(request.body, std::string("\x00\xFF" "x\r", 4));
    EXPECT_EQ(request.header("Content-Length"), "4");
    EXPECT_EQ(request.raw.find("application/x-www-form-urlencoded"),
              request.raw.rfind("application/x-www-form-urlencoded"));

    options.postBytes.clear();
    HttpRequest(server.url("/post"), options);
    EXPECT_EQ(server.requests().at(1).body, "text=1");
}

TEST(HttpRequestBody, PostGetsNoContentTypeOfTheLibrarysOwn) {
    LoopbackServer server([](const LoopbackRequest&) { return Body("done"); });
    Text block = "X-Note: Content-Type: none";
    HttpOptions options;
    options.accessMode = 1;
    options.postText = "a=1";
    options.extraHeaders = &block;
    HttpRequest(server.url("/post"), options);
    EXPECT_FALSE(server.requests().at(0).header("Content-Type").has_value());
}

TEST(HttpRequestBody, GetCarriesAGivenBodyUnderItsOwnMethod) {
    LoopbackServer server([](const LoopbackRequest&) { return Body("done"); });
    HttpOptions options;
    options.postText = "g=1";
    HttpRequest(server.url("/get"), options);
    const LoopbackRequest request = server.requests().at(0);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.body, "g=1");
}

TEST(HttpRequestBody, LargePostSentWithoutExpectHandshake) {
    LoopbackServer server([](const LoopbackRequest&) { return Body("done"); });
    HttpOptions options;
    options.accessMode = 1;
    options.postText = std::string(2 << 20, 'p');
    EXPECT_EQ(AsString(HttpRequest(server.url("/big"), options)), "done");
    const LoopbackRequest request = server.requests().at(0);
    EXPECT_EQ(request.body.size(), options.postText.size());
    EXPECT_FALSE(request.header("Expect").has_value());
}

TEST(HttpRequestResponse, HeadGivesStatusAndHeadersNoBody) {
    LoopbackServer server([](const LoopbackRequest&) { return Body("twelve bytes", {"X-Kind: head"}); });
    int status = 0;
    Text headers;
    HttpOptions options;
    options.accessMode = 2;
    options.statusCode = &status;
    options.responseHeaders = &headers;
    EXPECT_TRUE(HttpRequest(server.url("/h"), options).empty());
    EXPECT_EQ(status, 200);
    EXPECT_EQ(headers, "X-Kind: head\r\nContent-Length: 12\r\n");
    const LoopbackRequest request = server.requests().at(0);
    EXPECT_EQ(request.raw.substr(0, 8), "HEAD /h ");
    EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
}

TEST(HttpRequestResponse, SetCookieNormalisedAndMerged) {
    LoopbackServer server([](const LoopbackRequest&) {
        return Body("", {"set-cookie: a=1; path=/", "Set-Cookie: b=2"});
    });
    Text cookies, returned, headers;
    HttpOptions options;
    options.cookies = &cookies;
    options.returnedCookies = &returned;
    options.responseHeaders = &headers;
    HttpRequest(server.url("/c"), options);
    EXPECT_EQ(headers, "Set-Cookie: a=1; path=/\r\nSet-Cookie: b=2\r\nContent-Length: 0\r\n");
    EXPECT_EQ(returned, "a=1;b=2");
    EXPECT_EQ(cookies, "a=1; b=2");
}

TEST(HttpRequestResponse, CookiesCarriedAcrossCallsAndDeleted) {
    LoopbackServer server([](const LoopbackRequest& request) {
        if (request.target == "/login") return Body("", {"Set-Cookie: sid=abc; path=/", "Set-Cookie: u=1"});
        if (request.target == "/logout")
            return Body("", {"Set-Cookie: sid=deleted; expires=Thu, 01-Jan-1970 00:00:01 GMT"});
        return Body("");
    });
    Text cookies = "old=1";
    HttpOptions options;
    options.cookies = &cookies;
    HttpRequest(server.url("/login"), options);
    EXPECT_EQ(cookies, "sid=abc; u=1; old=1");
    HttpRequest(server.url("/logout"), options);
    EXPECT_EQ(cookies, "u=1; old=1");
    HttpRequest(server.url("/after"), options);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].header("Cookie"), "old=1");
    EXPECT_EQ(requests[1].header("Cookie"), "sid=abc; u=1; old=1");
    EXPECT_EQ(requests[2].header("Cookie"), "u=1; old=1");
}

LoopbackReply RedirectingHandler(const LoopbackRequest& request) {
    if (request.target == "/old") {
        LoopbackReply reply = LoopbackReply::Redirect(302, "/new");
        reply.body = "moved";
        reply.headers.push_back("Set-Cookie: hop=1");
        return reply;
    }
    return Body("final", {"X-Final: yes"});
}

TEST(HttpRequestRedirect, FollowedByDefaultFinalResponseReported) {
    LoopbackServer server(RedirectingHandler);
    int status = 0;
    Text headers;
    HttpOptions options;
    options.statusCode = &status;
    options.responseHeaders = &headers;
    EXPECT_EQ(AsString(HttpRequest(server.url("/old"), options)), "final");
    EXPECT_EQ(status, 200);
    EXPECT_EQ(headers, "X-Final: yes\r\nContent-Length: 5\r\n");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].target, "/new");
    EXPECT_EQ(requests[1].header("Referer"), server.url("/old"));
}

TEST(HttpRequestRedirect, NotFollowedWhenAsked) {
    LoopbackServer server(RedirectingHandler);
    int status = 0;
    Text headers, cookies;
    HttpFailure failure = HttpFailure::Other;
    HttpOptions options;
    options.noRedirect = true;
    options.failure = &failure;
    options.statusCode = &status;
    options.responseHeaders = &headers;
    options.cookies = &cookies;
    EXPECT_EQ(AsString(HttpRequest(server.url("/old"), options)), "moved");
    EXPECT_EQ(status, 302);
    EXPECT_EQ(failure, HttpFailure::None);  // a response came, whatever its status
    EXPECT_NE(headers.find("Location: /new\r\n"), std::string::npos);
    EXPECT_EQ(cookies, "hop=1");
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST(HttpRequestFailure, UnreachablePortGivesEmptyResultsAndNormalisedCookies) {
    Text cookies = "a=1 ;b=2;", returned = "stale", headers = "stale";
    int status = 99;
    HttpFailure failure = HttpFailure::None;
    HttpOptions options;
    options.failure = &failure;
    options.cookies = &cookies;
    options.returnedCookies = &returned;
    options.responseHeaders = &headers;
    options.statusCode = &status;
    EXPECT_TRUE(HttpRequest("http://127.0.0.1:" + std::to_string(DeadPort()) + "/", options).empty());
    EXPECT_EQ(status, 0);
    EXPECT_EQ(headers, "");
    EXPECT_EQ(returned, "");
    EXPECT_EQ(cookies, "a=1; b=2");
    EXPECT_EQ(failure, HttpFailure::Other);
}

TEST(HttpRequestFailure, NonHttpAddressesRefusedBeforeAnythingIsSent) {
    LoopbackServer server([](const LoopbackRequest&) { return Body("ok"); });
    const std::string host = "127.0.0.1:" + std::to_string(server.port());
    const std::vector<std::string> addresses{"file:///etc/hostname", "gopher://" + host + "/1",
                                             "ftp://" + host + "/x",  "dict://" + host + "/x",
                                             host + "/a.jpg",         "pics/a.jpg",
                                             "//" + host + "/x",      "httpx://" + host + "/",
                                             ""};
    for (const std::string& url : addresses) {
        const Attempt attempt = Try(url);
        EXPECT_TRUE(attempt.body.empty()) << url;
        EXPECT_EQ(attempt.status, 0) << url;
        EXPECT_EQ(attempt.failure, HttpFailure::NotHttp) << url;
    }
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_EQ(FailureText(HttpFailure::NotHttp), "not an http(s) address");
    // The scheme in any letter case is still http.
    EXPECT_EQ(AsString(Try("HTTP://" + host + "/").body), "ok");
}

struct RedirectFailureCase {
    const char* name;
    const char* location;  // "" for a redirect to the same address, forever
    HttpFailure failure;
    const char* text;
};
void PrintTo(const RedirectFailureCase& c, std::ostream* out) { *out << c.name; }

class HttpRequestRedirectFailure : public ::testing::TestWithParam<RedirectFailureCase> {};

TEST_P(HttpRequestRedirectFailure, NamedForWhatItIs) {
    const RedirectFailureCase& c = GetParam();
    LoopbackServer server([&](const LoopbackRequest& request) {
        return LoopbackReply::Redirect(302, *c.location != 0 ? c.location : request.target);
    });
    const Attempt attempt = Try(server.url("/start"));
    EXPECT_TRUE(attempt.body.empty());
    EXPECT_EQ(attempt.failure, c.failure);
    EXPECT_EQ(FailureText(attempt.failure), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, HttpRequestRedirectFailure,
    ::testing::Values(
        RedirectFailureCase{"File", "file:///etc/hostname", HttpFailure::RedirectRefused,
                            "redirect to a non-http address"},
        RedirectFailureCase{"Ftp", "ftp://127.0.0.1/x.jpg", HttpFailure::RedirectRefused,
                            "redirect to a non-http address"},
        RedirectFailureCase{"Gopher", "gopher://127.0.0.1/1", HttpFailure::RedirectRefused,
                            "redirect to a non-http address"},
        RedirectFailureCase{"Loop", "", HttpFailure::TooManyRedirects, "too many redirects"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HttpRequestFailure, BodyCutShortIsAFailure) {
    LoopbackServer server([](const LoopbackRequest&) {
        LoopbackReply reply = Body(std::string(1000, 'b'));
        reply.closeAfterBodyBytes = 500;
        return reply;
    });
    const Attempt attempt = Try(server.url("/cut"));
    EXPECT_TRUE(attempt.body.empty());
    EXPECT_EQ(attempt.status, 0);
    EXPECT_EQ(attempt.failure, HttpFailure::Other);
}

TEST(HttpRequestFailure, BodyOverCapDroppedStatusKept) {
    // "/declared" announces its length; "/streamed" has none and ends at close,
    // so only counting the bytes as they come can stop it.
    LoopbackServer server([](const LoopbackRequest& request) {
        LoopbackReply reply = Body(std::string(1 << 20, 'z'));
        reply.bodyRepeat = request.target == "/at" ? 64 : 65;
        reply.contentLength = request.target != "/streamed";
        return reply;
    });
    for (const char* path : {"/declared", "/streamed"}) {
        int status = 0;
        HttpFailure failure = HttpFailure::None;
        HttpOptions options;
        options.statusCode = &status;
        options.failure = &failure;
        EXPECT_TRUE(HttpRequest(server.url(path), options).empty()) << path;
        EXPECT_EQ(status, 200) << path;
        EXPECT_EQ(failure, HttpFailure::TooLarge) << path;
    }
    EXPECT_EQ(HttpRequest(server.url("/at")).size(), kMaxResponseBody);
}

class HttpTimeoutKnob : public ::testing::Test {
protected:
    void TearDown() override { SetDefaultHttpTimeoutForTesting(std::chrono::milliseconds(0)); }
};

TEST_F(HttpTimeoutKnob, StallLimitMapping) {
    using std::chrono::milliseconds;
    EXPECT_EQ(HttpStallLimit(-1), std::nullopt);
    EXPECT_EQ(HttpStallLimit(0), milliseconds(15000));
    EXPECT_EQ(HttpStallLimit(-5), milliseconds(15000));
    EXPECT_EQ(HttpStallLimit(1), milliseconds(1000));
    EXPECT_EQ(HttpStallLimit(5), milliseconds(5000));
    SetDefaultHttpTimeoutForTesting(milliseconds(250));
    EXPECT_EQ(HttpStallLimit(0), milliseconds(250));
    EXPECT_EQ(HttpStallLimit(7), milliseconds(7000));
    EXPECT_EQ(HttpStallLimit(-1), std::nullopt);
    SetDefaultHttpTimeoutForTesting(milliseconds(0));
    EXPECT_EQ(HttpStallLimit(-2), milliseconds(15000));
}

TEST_F(HttpTimeoutKnob, StalledServerGivesUpLongBeforeItAnswers) {
    SetDefaultHttpTimeoutForTesting(std::chrono::milliseconds(300));
    const auto stall = std::chrono::seconds(20);
    LoopbackServer server([stall](const LoopbackRequest&) {
        LoopbackReply reply = Body("late");
        reply.stallBeforeReply = stall;
        return reply;
    });
    const Attempt attempt = Try(server.url("/slow"));
    EXPECT_TRUE(attempt.body.empty());
    EXPECT_EQ(attempt.status, 0);
    EXPECT_EQ(attempt.failure, HttpFailure::Stalled);
    EXPECT_LT(attempt.took, stall / 2);
}

TEST(HttpRequestProxy, NamedProxyCarriesRequestAndGetsCredentials) {
    LoopbackServer proxy([](const LoopbackRequest& request) {
        if (!request.header("Proxy-Authorization")) {
            LoopbackReply reply = Body("", {"Proxy-Authenticate: Basic realm=\"p\""});
            reply.status = 407;
            reply.reason = "Proxy Authentication Required";
            return reply;
        }
        return Body("via proxy");
    });
    HttpOptions options;
    options.proxyAddress = "127.0.0.1:" + std::to_string(proxy.port());
    options.proxyUser = "user";
    options.proxyPassword = "pw";
    EXPECT_EQ(AsString(HttpRequest("http://example.invalid/x", options)), "via proxy");
    const auto requests = proxy.requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().target, "http://example.invalid/x");
    EXPECT_EQ(requests.back().header("Proxy-Authorization"), "Basic dXNlcjpwdw==");
    EXPECT_FALSE(requests.back().header("Authorization").has_value());
}

TEST(HttpRequestProxy, CredentialFlagZeroAnswersTheServer) {
    LoopbackServer proxy([](const LoopbackRequest& request) {
        if (!request.header("Authorization")) {
            LoopbackReply reply = Body("", {"WWW-Authenticate: Basic realm=\"s\""});
            reply.status = 401;
            reply.reason = "Unauthorized";
            return reply;
        }
        return Body("server says hi");
    });
    HttpOptions options;
    options.proxyAddress = "127.0.0.1:" + std::to_string(proxy.port());
    options.proxyUser = "user";
    options.proxyPassword = "pw";
    options.proxyCredentialFlag = 0;
    EXPECT_EQ(AsString(HttpRequest("http://example.invalid/y", options)), "server says hi");
    EXPECT_EQ(proxy.requests().back().header("Authorization"), "Basic dXNlcjpwdw==");
}

// The process's proxy wins over the environment, no_proxy included; a
// caller's own proxy wins over it; once cleared, the environment applies.
TEST(HttpRequestProxy, ProcessProxyStandsInForTheEnvironment) {
    LoopbackServer environment([](const LoopbackRequest&) { return Body("env proxy"); });
    LoopbackServer process([](const LoopbackRequest&) { return Body("process proxy"); });
    LoopbackServer named([](const LoopbackRequest&) { return Body("named proxy"); });
    ::setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(environment.port())).c_str(), 1);
    ::setenv("no_proxy", "example.invalid", 1);
    SetProcessProxy("http://127.0.0.1:" + std::to_string(process.port()));
    const Bytes viaProcess = HttpRequest("http://example.invalid/a");
    ::unsetenv("no_proxy");
    HttpOptions options;
    options.proxyAddress = "127.0.0.1:" + std::to_string(named.port());
    const Bytes viaNamed = HttpRequest("http://example.invalid/b", options);
    SetProcessProxy("");
    const Bytes viaEnvironment = HttpRequest("http://example.invalid/c");
    ::unsetenv("http_proxy");
    EXPECT_EQ(AsString(viaProcess), "process proxy");
    EXPECT_EQ(AsString(viaNamed), "named proxy");
    EXPECT_EQ(AsString(viaEnvironment), "env proxy");
    ASSERT_EQ(process.requestCount(), 1u);
    EXPECT_EQ(process.requests()[0].target, "http://example.invalid/a");
}

TEST(HttpRequestProxy, EnvironmentProxyHonouredWhenNoneNamed) {
    LoopbackServer proxy([](const LoopbackRequest&) { return Body("env proxy"); });
    ::setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(proxy.port())).c_str(), 1);
    const Bytes body = HttpRequest("http://example.invalid/env");
    ::unsetenv("http_proxy");
    EXPECT_EQ(AsString(body), "env proxy");
    ASSERT_EQ(proxy.requestCount(), 1u);
    EXPECT_EQ(proxy.requests()[0].target, "http://example.invalid/env");
}

TEST(HttpConnectionReuse, OneObjectOneConnectionNoLeftoverOptions) {
    LoopbackServer server([](const LoopbackRequest& request) { return Body(request.method); });
    HttpConnection connection;
    ASSERT_TRUE(connection.valid());
    HttpOptions post;
    post.accessMode = 1;
    post.postText = "p=1";
    post.noRedirect = true;
    post.requestObject = &connection;
    EXPECT_EQ(AsString(HttpRequest(server.url("/1"), post)), "POST");
    HttpOptions get;
    get.requestObject = &connection;
    EXPECT_EQ(AsString(HttpRequest(server.url("/2"), get)), "GET");
    EXPECT_EQ(server.connectionCount(), 1u);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].body, "");
    EXPECT_FALSE(requests[1].header("Content-Length").has_value());
}

TEST(HttpRequestThreads, ManyCallersAtOnceKeepTheirOwnResults) {
    LoopbackServer server([](const LoopbackRequest& request) {
        return Body("echo " + request.target, {"Set-Cookie: t=" + request.target.substr(1)});
    });
    constexpr int kThreads = 8;
    constexpr int kPerThread = 25;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const std::string name = std::to_string(t) + "-" + std::to_string(i);
                Text cookies = "own=" + std::to_string(t);
                HttpOptions options;
                options.cookies = &cookies;
                const Bytes body = HttpRequest(server.url("/" + name), options);
                if (AsString(body) == "echo /" + name && cookies == "t=" + name + "; own=" + std::to_string(t))
                    ++good;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(good.load(), kThreads * kPerThread);
    EXPECT_EQ(server.requestCount(), static_cast<std::size_t>(kThreads * kPerThread));
}

TEST(HttpRequestThreads, SharedRequestObjectTakesTurns) {
    LoopbackServer server([](const LoopbackRequest& request) { return Body(request.target); });
    HttpConnection shared;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            HttpOptions options;
            options.requestObject = &shared;
            for (int i = 0; i < 20; ++i) {
                const std::string path = "/" + std::to_string(t) + "/" + std::to_string(i);
                if (AsString(HttpRequest(server.url(path), options)) == path) ++good;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(good.load(), 80);
    EXPECT_EQ(server.connectionCount(), 1u);
}

}  // namespace
}  // namespace lumigrab
