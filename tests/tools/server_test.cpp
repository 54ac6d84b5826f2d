// The server on the wire: plain and proxied exchanges as the program makes them, the
// fault paths, the counters tests rely on, and the bounds that keep it from
// hanging a test run.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "standin_client.h"
#include "tools/standin/standin.h"

namespace lumigrab::standin {
namespace {

using namespace std::chrono_literals;
using testing::Fetch;
using testing::Fetched;
using testing::FetchOptions;
using testing::RawClient;

std::string AsString(const Bytes& b) { return std::string(b.begin(), b.end()); }

StandinOptions Quiet() {
    StandinOptions o;
    o.lifetime = 60s;
    return o;
}

std::string PathOf(const StandinServer& server, const std::string& url) {
    return url.substr(server.baseUrl().size());
}

TEST(Plain, PageAndPicturesAreTheExpectedBytes) {
    StandinServer server(Quiet());
    const std::string page = StandinServer::FlipPathAndQuery("猫", 20, "0", "0");
    const auto fetched = Fetch(server.baseUrl() + page);
    ASSERT_TRUE(fetched.ok());
    EXPECT_EQ(fetched.status, 200);
    EXPECT_EQ(fetched.body, AsString(server.expectedBody(page)));
    for (const PageElement& e : server.listing("猫", 20)) {
        for (const std::string& url : {e.objURL, e.thumbURL}) {
            if (url.empty() || e.kind == PictureKind::Missing) continue;
            const auto picture = Fetch(url);
            ASSERT_TRUE(picture.ok()) << url;
            EXPECT_EQ(picture.status, 200) << url;
            EXPECT_EQ(picture.body, AsString(server.expectedBody(url))) << url;
        }
    }
    EXPECT_EQ(server.pageRequests(), 1);
    EXPECT_GT(server.pictureRequests(), 40);
    EXPECT_EQ(server.hitCount(page), 1);
}

TEST(Plain, StatusesOfFailingKinds) {
    StandinServer server(Quiet());
    struct Case {
        PictureKind kind;
        long status;
    };
    for (const Case& c : {Case{PictureKind::Missing, 404}, Case{PictureKind::Error, 500},
                          Case{PictureKind::Html, 200}, Case{PictureKind::Truncated, 200}}) {
        const std::string url = server.pictureUrl(c.kind, 3);
        const auto fetched = Fetch(url);
        EXPECT_TRUE(fetched.ok()) << url;
        EXPECT_EQ(fetched.status, c.status) << url;
        EXPECT_EQ(fetched.body, AsString(server.expectedBody(url))) << url;
    }
    EXPECT_EQ(Fetch(server.baseUrl() + "/elsewhere").status, 404);
}

TEST(Tunnel, ConnectThenTlsServesThePage) {
    StandinServer server(Quiet());
    const std::string page = StandinServer::FlipPathAndQuery("cat", 0, "400", "300");
    FetchOptions viaProxy;
    viaProxy.proxy = server.proxyUrl();
    const auto fetched = Fetch("https://image.baidu.com" + page, viaProxy);
    ASSERT_TRUE(fetched.ok());
    EXPECT_EQ(fetched.status, 200);
    EXPECT_EQ(fetched.body, AsString(server.expectedBody(page)));

    const auto records = server.requests();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].method, "CONNECT");
    EXPECT_EQ(records[0].target, "image.baidu.com:443");
    EXPECT_FALSE(records[0].viaTunnel);
    EXPECT_EQ(records[1].method, "GET");
    EXPECT_EQ(records[1].pathAndQuery, page);
    EXPECT_EQ(records[1].host, "image.baidu.com");
    EXPECT_TRUE(records[1].viaTunnel);
    bool agent = false;
    for (const auto& [name, value] : records[1].headers)
        agent |= name == "User-Agent" && value == "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";
    EXPECT_TRUE(agent);
    EXPECT_EQ(server.pageRequests(), 1);
}

TEST(Tunnel, OnlyPort443) {
    StandinServer server(Quiet());
    RawClient client(server.port());
    ASSERT_TRUE(client.send("CONNECT example.com:25 HTTP/1.1\r\nHost: example.com:25\r\n\r\n"));
    EXPECT_EQ(client.readResponse().rfind("HTTP/1.1 403", 0), 0u);
}

TEST(Proxy, AbsoluteFormIsServedByPath) {
    StandinServer server(Quiet());
    RawClient client(server.port());
    const std::string path = PathOf(server, server.pictureUrl(PictureKind::Gif, 2));
    ASSERT_TRUE(client.send("GET http://pictures.example.com" + path +
                            " HTTP/1.1\r\nHost: pictures.example.com\r\n\r\n"));
    const std::string response = client.readResponse();
    const std::string body = AsString(server.expectedBody(path));
    ASSERT_GE(response.size(), body.size());
    EXPECT_EQ(response.substr(response.size() - body.size()), body);
    const auto records = server.requests();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].pathAndQuery, path);
    EXPECT_EQ(records[0].host, "pictures.example.com");
}

TEST(Connection, KeepAliveAnswersEachRequest) {
    StandinServer server(Quiet());
    RawClient client(server.port());
    const std::string path = PathOf(server, server.pictureUrl(PictureKind::Png, 9));
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n";
    // Two requests in one write: the second must not be lost in the buffer.
    ASSERT_TRUE(client.send(request + request));
    const std::string body = AsString(server.expectedBody(path));
    for (int i = 0; i < 2; ++i) {
        const std::string response = client.readResponse();
        ASSERT_GE(response.size(), body.size()) << i;
        EXPECT_EQ(response.substr(response.size() - body.size()), body) << i;
    }
    EXPECT_EQ(server.hitCount(path), 2);
}

struct BadRequestCase {
    const char* name;
    std::string request;
    const char* status;
};

class BadRequests : public ::testing::TestWithParam<BadRequestCase> {};

TEST_P(BadRequests, AnsweredAndClosed) {
    StandinOptions o = Quiet();
    o.maxRequestBytes = 4096;
    StandinServer server(o);
    RawClient client(server.port());
    client.send(GetParam().request);
    const std::string response = client.readAll(3s);
    EXPECT_EQ(response.rfind(std::string("HTTP/1.1 ") + GetParam().status, 0), 0u) << response;
    EXPECT_NE(response.find("Connection: close"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, BadRequests,
    ::testing::Values(
        BadRequestCase{"NoVersion", "GET /\r\n\r\n", "400"},
        BadRequestCase{"Http2", "GET / HTTP/2.0\r\n\r\n", "400"},
        BadRequestCase{"HeaderWithoutColon", "GET / HTTP/1.1\r\nHost x\r\n\r\n", "400"},
        BadRequestCase{"HeadBeyondLimit", "GET / HTTP/1.1\r\nX: " + std::string(8000, 'a') + "\r\n\r\n", "431"},
        BadRequestCase{"EndlessHeadBeyondLimit", "GET / HTTP/1.1\r\nX: " + std::string(8000, 'a'), "431"},
        BadRequestCase{"ChunkedBody", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "400"},
        BadRequestCase{"BodyBeyondLimit", "POST / HTTP/1.1\r\nContent-Length: 999999999\r\n\r\n", "413"},
        BadRequestCase{"ConnectInsideNothing", "CONNECT a:443 HTTP/1.1\r\n\r\nGET / HTTP/1.1\r\n\r\n", "400"}),
    [](const auto& info) { return info.param.name; });

TEST(Concurrency, HighWaterMarkOfPicturesInFlight) {
    StandinServer server(Quiet());
    const std::string url = server.pictureUrl(PictureKind::Jpeg, 1);
    Fetch(url);
    Fetch(url);
    EXPECT_EQ(server.maxConcurrentPictures(), 1);
    EXPECT_EQ(server.currentPictures(), 0);

    server.setPictureDelay(600ms);
    std::vector<std::thread> clients;
    std::atomic<int> ok{0};
    for (int i = 0; i < 4; ++i)
        clients.emplace_back([&, i] {
            if (Fetch(server.pictureUrl(PictureKind::Png, i)).ok()) ++ok;
        });
    for (auto& t : clients) t.join();
    EXPECT_EQ(ok, 4);
    EXPECT_EQ(server.maxConcurrentPictures(), 4);
    EXPECT_EQ(server.currentPictures(), 0);

    // Pages are not pictures.
    server.resetCounters();
    EXPECT_EQ(server.maxConcurrentPictures(), 0);
    Fetch(server.baseUrl() + StandinServer::FlipPathAndQuery("cat", 0));
    EXPECT_EQ(server.maxConcurrentPictures(), 0);
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST(Faults, RedirectLoopNeverEnds) {
    StandinServer server(Quiet());
    // Followed by hand: after five hops the sixth answer still sends the
    // client on.
    std::string path = PathOf(server, server.pictureUrl(PictureKind::Redirect, 1));
    for (int hop = 0; hop < 6; ++hop) {
        RawClient client(server.port());
        ASSERT_TRUE(client.send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
        const std::string response = client.readResponse();
        ASSERT_EQ(response.rfind("HTTP/1.1 302", 0), 0u) << "hop " << hop << ": " << response;
        const auto location = testing::Between(response, "Location: ", "\r\n");
        ASSERT_TRUE(location) << response;
        EXPECT_NE(*location, path);
        path = *location;
    }
    EXPECT_EQ(server.hitsUnder("/pic/redirect/"), 6);
}

TEST(Faults, ResetCutsTheBody) {
    StandinServer server(Quiet());
    const std::string url = server.pictureUrl(PictureKind::Reset, 5);
    const auto fetched = Fetch(url);
    EXPECT_FALSE(fetched.ok());
    EXPECT_LT(fetched.body.size(), server.expectedBody(PathOf(server, server.pictureUrl(PictureKind::Jpeg, 5))).size());
}

TEST(Faults, HugeStreamsItsLength) {
    StandinServer server(Quiet());
    const auto fetched = Fetch(server.baseUrl() + "/pic/huge/1.jpg?bytes=3000001");
    ASSERT_TRUE(fetched.ok());
    ASSERT_EQ(fetched.body.size(), 3000001u);
    EXPECT_EQ(fetched.body.substr(0, 2), "\xFF\xD8");
}

TEST(Faults, SlowWaitsItsDelay) {
    StandinServer server(Quiet());
    const auto start = std::chrono::steady_clock::now();
    const auto fetched = Fetch(server.baseUrl() + "/pic/slow/2.jpg?ms=300");
    EXPECT_TRUE(fetched.ok());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_EQ(fetched.body, AsString(server.expectedBody("/pic/jpeg/2.jpg")));
}

struct StallCase {
    const char* name;
    std::string path;
};

class Stalls : public ::testing::TestWithParam<StallCase> {};

// Destroying the server must not wait for the stall to run out.
TEST_P(Stalls, StopEndsTheStall) {
    StandinOptions o = Quiet();
    o.stallTime = 120s;
    auto server = std::make_unique<StandinServer>(o);
    const std::string url = server->baseUrl() + GetParam().path;
    Fetched fetched;
    std::thread client([&] {
        FetchOptions patient;
        patient.timeoutSeconds = 100;
        fetched = Fetch(url, patient);
    });
    ASSERT_TRUE(server->waitForRequests(1, 5s));
    std::this_thread::sleep_for(100ms);
    const auto start = std::chrono::steady_clock::now();
    server.reset();
    const auto stopped = std::chrono::steady_clock::now() - start;
    client.join();
    EXPECT_LT(stopped, 10s);
    EXPECT_FALSE(fetched.ok());
}

INSTANTIATE_TEST_SUITE_P(Paths, Stalls,
                         ::testing::Values(StallCase{"Picture", "/pic/stall/1.jpg"},
                                           StallCase{"Page", StandinServer::FlipPathAndQuery("standin-stall", 0)},
                                           StallCase{"PictureDelay", "/pic/slow/1.jpg?ms=100000"}),
                         [](const auto& info) { return info.param.name; });

TEST(Stalls, StallWithTimeLimitClosesWithoutAnswer) {
    StandinServer server(Quiet());
    RawClient client(server.port());
    ASSERT_TRUE(client.send("GET /pic/stall/1.jpg?ms=200 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    EXPECT_EQ(client.readAll(10s), "");
    EXPECT_TRUE(client.peerClosed());
}

TEST(Bounds, ConnectionsBeyondTheLimitAreTurnedAway) {
    StandinOptions o = Quiet();
    o.maxConnections = 2;
    StandinServer server(o);
    const std::string request = "GET /x HTTP/1.1\r\nHost: x\r\n\r\n";
    auto first = std::make_unique<RawClient>(server.port());
    RawClient second(server.port());
    // Answered requests prove both connections are being served.
    ASSERT_TRUE(first->send(request));
    ASSERT_TRUE(second.send(request));
    ASSERT_EQ(first->readResponse().rfind("HTTP/1.1 404", 0), 0u);
    ASSERT_EQ(second.readResponse().rfind("HTTP/1.1 404", 0), 0u);

    RawClient third(server.port());
    EXPECT_EQ(third.readAll(3s).rfind("HTTP/1.1 503", 0), 0u);
    EXPECT_EQ(server.rejectedConnections(), 1);

    first.reset();
    bool served = false;
    for (int attempt = 0; attempt < 50 && !served; ++attempt) {
        RawClient again(server.port());
        again.send(request);
        served = again.readResponse(2s).rfind("HTTP/1.1 404", 0) == 0;
        if (!served) std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(served);
}

TEST(Bounds, IdleConnectionIsClosed) {
    StandinOptions o = Quiet();
    o.idleTimeout = 300ms;
    StandinServer server(o);
    RawClient idle(server.port());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(idle.readAll(10s), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(Bounds, LifetimeStopsTheServer) {
    StandinOptions o = Quiet();
    o.lifetime = 300ms;
    StandinServer server(o);
    const int port = server.port();
    for (int i = 0; i < 100 && server.running(); ++i) std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(server.running());
    RawClient late(port);
    EXPECT_FALSE(late.connected());
}

TEST(Bounds, RecordsKeepTheFirstAndCountTheRest) {
    StandinOptions o = Quiet();
    o.maxRecordedRequests = 2;
    o.recordRawRequests = true;
    StandinServer server(o);
    for (int i = 0; i < 4; ++i) Fetch(server.baseUrl() + "/r" + std::to_string(i));
    const auto records = server.requests();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].pathAndQuery, "/r0");
    EXPECT_EQ(records[1].raw.rfind("GET /r1 HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(server.requestCount(), 4u);
    EXPECT_EQ(server.hitCount("/r3"), 1);
}

TEST(Lifecycle, PortInUseThrows) {
    StandinServer first(Quiet());
    StandinOptions o = Quiet();
    o.port = first.port();
    EXPECT_THROW(StandinServer second(o), std::runtime_error);
}

TEST(Lifecycle, StopIsIdempotentAndEndsListening) {
    StandinServer server(Quiet());
    const int port = server.port();
    server.stop();
    server.stop();
    EXPECT_FALSE(server.running());
    RawClient late(port);
    EXPECT_FALSE(late.connected());
}

}  // namespace
}  // namespace lumigrab::standin
