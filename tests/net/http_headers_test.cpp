#include <gtest/gtest.h>

#include "net/http_headers.h"

namespace lumigrab {
namespace {

constexpr const char* kUrl = "http://h/p?q=1";

struct CompletionCase {
    const char* name;
    Text block;
    Text completed;
};

class CompleteRequestHeadersTest : public ::testing::TestWithParam<CompletionCase> {};

TEST_P(CompleteRequestHeadersTest, AddsMissingDefaultsInOrder) {
    EXPECT_EQ(CompleteRequestHeaders(GetParam().block, kUrl), GetParam().completed);
}

const Text kTail =
    "Accept-Language: zh-cn\r\n"
    "User-Agent: Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)\r\n"
    "Content-Type: application/x-www-form-urlencoded";

INSTANTIATE_TEST_SUITE_P(
    Blocks, CompleteRequestHeadersTest,
    ::testing::Values(
        CompletionCase{"Empty", "", "Accept: */*\r\nReferer: http://h/p?q=1\r\n" + kTail},
        CompletionCase{"LowerCaseAcceptDoesNotCount", "accept: text/html",
                       "accept: text/html\r\nAccept: */*\r\nReferer: http://h/p?q=1\r\n" + kTail},
        CompletionCase{"RefererGiven", "Referer: x", "Referer: x\r\nAccept: */*\r\n" + kTail},
        CompletionCase{"AcceptLanguageIsNotAccept", "Accept-Language: en",
                       "Accept-Language: en\r\nAccept: */*\r\nReferer: http://h/p?q=1\r\n"
                       "User-Agent: Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)\r\n"
                       "Content-Type: application/x-www-form-urlencoded"},
        CompletionCase{"MarkerInsideValueCounts", "X-Note: Referer: y\r\nAccept: a",
                       "X-Note: Referer: y\r\nAccept: a\r\n" + kTail},
        CompletionCase{"AllPresent", "Accept:1\r\nReferer:2\r\nAccept-Language:3\r\nUser-Agent:4\r\nContent-Type:5",
                       "Accept:1\r\nReferer:2\r\nAccept-Language:3\r\nUser-Agent:4\r\nContent-Type:5"}),
    [](const ::testing::TestParamInfo<CompletionCase>& info) { return std::string(info.param.name); });

TEST(RequestHeaderLinesTest, CookieFirstThenBlockLinesInOrder) {
    const auto lines = RequestHeaderLines("a=1; b=2", " X-A : 1 \r\nX-A: 2\r\n\r\nAccept: */*");
    EXPECT_EQ(lines, (std::vector<std::string>{"Cookie: a=1; b=2", "X-A: 1", "X-A: 2", "Accept: */*"}));
    EXPECT_EQ(RequestHeaderLines("", "Accept: */*"), std::vector<std::string>{"Accept: */*"});
}

TEST(RequestHeaderLinesTest, UnsendableLinesDroppedOthersKept) {
    const auto lines = RequestHeaderLines("",
                                          "no colon here\r\n"
                                          ": empty name\r\n"
                                          "Bad Name: v\r\n"
                                          "X-Split: 1\nEvil: 2\r\n"
                                          "X-Empty:\r\n"
                                          "X-Gbk: \xC3\xA8\r\n"
                                          "X-Ok: yes");
    EXPECT_EQ(lines, (std::vector<std::string>{"X-Empty:", "X-Gbk: \xC3\xA8", "X-Ok: yes"}));
}

TEST(RequestHeaderLinesTest, CookieWithLineBreakNotSent) {
    EXPECT_TRUE(RequestHeaderLines("a=1\r\nEvil: 1", "").empty());
}

TEST(SetCookieTest, NamesNormalisedInAnyCase) {
    EXPECT_EQ(NormaliseSetCookieNames("set-cookie: a=1\r\nSET-COOKIE: b\r\nX-Set-cookie2: c\r\n"),
              "Set-Cookie: a=1\r\nSet-Cookie: b\r\nX-Set-Cookie2: c\r\n");
}

struct ReturnedCase {
    const char* name;
    Text headers;  // already normalised
    Text pairs;
};

class CookiesFromHeadersTest : public ::testing::TestWithParam<ReturnedCase> {};

TEST_P(CookiesFromHeadersTest, PairsInLineOrder) {
    EXPECT_EQ(CookiesFromHeaders(GetParam().headers), GetParam().pairs);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CookiesFromHeadersTest,
    ::testing::Values(
        ReturnedCase{"AttributesDropped",
                     "Content-Type: x\r\nSet-Cookie: a=1; path=/\r\nSet-Cookie: b=2\r\n", "a=1; b=2"},
        ReturnedCase{"NoCookies", "Content-Type: x\r\nContent-Length: 3\r\n", ""},
        ReturnedCase{"NoSetCookieColonGivesEmptyPair", "Set-Cookie a=1; x\r\nSet-Cookie: b=2; y\r\n", "; b=2"},
        ReturnedCase{"DeletionMarkerKept", "Set-Cookie: sid=deleted; expires=Thu, 01 Jan 1970\r\n",
                     "sid=deleted"},
        ReturnedCase{"Empty", "", ""}),
    [](const ::testing::TestParamInfo<ReturnedCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lumigrab
