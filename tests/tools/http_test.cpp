// Request heads as the stand-in reads them.
#include <gtest/gtest.h>

#include "tools/standin/http.h"

namespace lumigrab::standin::detail {
namespace {

struct HeadCase {
    const char* name;
    std::string head;
    bool valid;
    const char* target;
};

class RequestHeads : public ::testing::TestWithParam<HeadCase> {};

TEST_P(RequestHeads, ParsedOrRejected) {
    const HeadCase& c = GetParam();
    const auto head = ParseRequestHead(c.head);
    ASSERT_EQ(head.has_value(), c.valid);
    if (head) {
        EXPECT_EQ(head->target, c.target);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Heads, RequestHeads,
    ::testing::Values(
        HeadCase{"Plain", "GET /pic/jpeg/1.jpg HTTP/1.1\r\nHost: a", true, "/pic/jpeg/1.jpg"},
        HeadCase{"Connect", "CONNECT image.baidu.com:443 HTTP/1.1\r\nHost: image.baidu.com:443", true,
                 "image.baidu.com:443"},
        HeadCase{"NoHeaders", "GET / HTTP/1.0", true, "/"},
        HeadCase{"BlankLinesBetween", "GET / HTTP/1.1\r\n\r\nHost: a", true, "/"},
        HeadCase{"TwoSpaces", "GET  / HTTP/1.1", false, ""},
        HeadCase{"ExtraWord", "GET / x HTTP/1.1", false, ""},
        HeadCase{"LowerVersion", "GET / http/1.1", false, ""},
        HeadCase{"NoColon", "GET / HTTP/1.1\r\nHost a", false, ""},
        HeadCase{"SpaceInName", "GET / HTTP/1.1\r\nBad Name: a", false, ""},
        HeadCase{"EmptyName", "GET / HTTP/1.1\r\n: a", false, ""},
        HeadCase{"ControlInMethod", "G\x01T / HTTP/1.1", false, ""}),
    [](const auto& info) { return info.param.name; });

TEST(RequestHeads, HeadersInOrderTrimmedFirstWins) {
    const auto head = ParseRequestHead(
        "GET / HTTP/1.1\r\nAccept:  */*  \r\nReferer: https://x/?a=b:c\r\naccept: text/html");
    ASSERT_TRUE(head.has_value());
    ASSERT_EQ(head->headers.size(), 3u);
    EXPECT_EQ(head->headers[0].first, "Accept");
    EXPECT_EQ(head->headers[0].second, "*/*");
    EXPECT_EQ(head->headers[1].second, "https://x/?a=b:c");
    EXPECT_EQ(head->header("ACCEPT"), "*/*");
    EXPECT_FALSE(head->header("Cookie").has_value());
}

struct KeepAliveCase {
    const char* name;
    std::string head;
    bool keepAlive;
};

class KeepAlive : public ::testing::TestWithParam<KeepAliveCase> {};

TEST_P(KeepAlive, ByVersionAndConnectionHeader) {
    const auto head = ParseRequestHead(GetParam().head);
    ASSERT_TRUE(head.has_value());
    EXPECT_EQ(head->keepAlive(), GetParam().keepAlive);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, KeepAlive,
    ::testing::Values(KeepAliveCase{"Http11", "GET / HTTP/1.1", true},
                      KeepAliveCase{"Http11Close", "GET / HTTP/1.1\r\nConnection: Close", false},
                      KeepAliveCase{"Http10", "GET / HTTP/1.0", false},
                      KeepAliveCase{"Http10KeepAlive", "GET / HTTP/1.0\r\nConnection: keep-alive", true}),
    [](const auto& info) { return info.param.name; });

// A stream that hands out a script of reads, to drive the head reader.
class ScriptedStream : public Stream {
public:
    explicit ScriptedStream(std::vector<std::string> reads) : reads_(std::move(reads)) {}
    long readSome(char* buffer, std::size_t size) override {
        if (next_ >= reads_.size()) return 0;
        std::string& r = reads_[next_];
        const std::size_t n = std::min(size, r.size());
        std::copy_n(r.data(), n, buffer);
        r.erase(0, n);
        if (r.empty()) ++next_;
        return static_cast<long>(n);
    }
    bool writeAll(std::string_view) override { return true; }

private:
    std::vector<std::string> reads_;
    std::size_t next_ = 0;
};

TEST(ReadHead, TerminatorSplitAcrossReadsAndPipelinedRest) {
    ScriptedStream stream({"GET /a HTTP/1.1\r\nHost: x\r", "\n\r", "\nGET /b HTTP/1.1\r\n\r\n"});
    std::string pending;
    RequestHead head;
    ASSERT_EQ(ReadRequestHead(stream, pending, 1024, head), ReadStatus::Ok);
    EXPECT_EQ(head.target, "/a");
    EXPECT_EQ(head.raw, "GET /a HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_EQ(ReadRequestHead(stream, pending, 1024, head), ReadStatus::Ok);
    EXPECT_EQ(head.target, "/b");
    EXPECT_EQ(ReadRequestHead(stream, pending, 1024, head), ReadStatus::Closed);
}

TEST(ReadHead, BeyondLimitStopsReading) {
    ScriptedStream stream({"GET / HTTP/1.1\r\nX: " + std::string(5000, 'a'), "\r\n\r\n"});
    std::string pending;
    RequestHead head;
    EXPECT_EQ(ReadRequestHead(stream, pending, 1024, head), ReadStatus::TooLarge);
    EXPECT_LE(pending.size(), 1024u + 4096u);
}

TEST(ReadHead, BodyIsSkippedWithoutEatingTheNextRequest) {
    // Two body bytes arrive with the head, three with the next request.
    ScriptedStream stream({"POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nab", "cdeGET /n HTTP/1.1\r\n\r\n"});
    std::string pending;
    RequestHead head;
    ASSERT_EQ(ReadRequestHead(stream, pending, 1024, head), ReadStatus::Ok);
    ASSERT_TRUE(DiscardBody(stream, pending, 5));
    ASSERT_EQ(ReadRequestHead(stream, pending, 1024, head), ReadStatus::Ok);
    EXPECT_EQ(head.target, "/n");
}

TEST(ReadHead, BodyCutShortFails) {
    ScriptedStream stream({"abc"});
    std::string pending = "xy";
    EXPECT_FALSE(DiscardBody(stream, pending, 10));
}

}  // namespace
}  // namespace lumigrab::standin::detail
