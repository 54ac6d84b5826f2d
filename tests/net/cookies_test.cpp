#include <gtest/gtest.h>

#include <string>

#include "net/cookies.h"
#include "net/cookies_file.h"

namespace lumigrab {
namespace {

struct MergeCase {
    const char* name;
    Text before;
    Text fresh;
    Text merged;
    Text freshAfter;  // the caller's new-cookie text on return
};

class MergeCookiesTest : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergeCookiesTest, MergesAndWritesBack) {
    const MergeCase& c = GetParam();
    Text cookies = c.before;
    Text fresh = c.fresh;
    const Text copy = MergeCookies(cookies, fresh);
    EXPECT_EQ(cookies, c.merged);
    EXPECT_EQ(copy, c.merged);
    EXPECT_EQ(fresh, c.freshAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, MergeCookiesTest,
    ::testing::Values(
        MergeCase{"NewReplacesOld", "a=1; b=2", "b=3", "b=3; a=1", "b=3"},
        MergeCase{"DeletedDisplacesThenVanishes", "sid=abc; u=1", "sid=deleted", "u=1", "sid=deleted"},
        MergeCase{"NewSameNameBothStay", "", "x=1;x=2", "x=1; x=2", "x=1;x=2"},
        MergeCase{"NewIdenticalCollapse", "", "x=1;x=1", "x=1", "x=1;x=1"},
        MergeCase{"OldSameNameFirstWins", "a=1; a=2", "", "a=1", ""},
        MergeCase{"SpaceInsideValue", "a=hello world", "", "a=helloworld", ""},
        MergeCase{"SpacesAroundEquals", "", "b = 1; c=2", "b=1; c=2", "b=1;c=2"},
        MergeCase{"FullWidthSpace", "a=1\xA1\xA1;\xA1\xA1" "b=2", "", "a=1; b=2", ""},
        MergeCase{"TrailingSeparator", "a=1;", "", "a=1", ""},
        MergeCase{"EmptyPieceSurvivesOnce", "a=1;;b=2", "", "a=1; ; b=2", ""},
        MergeCase{"EmptyPieceAtEnd", "", "a=1;;", "a=1", "a=1;;"},
        MergeCase{"DeletedMarkerCaseSensitive", "", "x=Deleted", "x=Deleted", "x=Deleted"},
        MergeCase{"DeletedOnlyAsSuffix", "", "x=undeleted", "x=undeleted", "x=undeleted"},
        MergeCase{"ShorterThanMarker", "", "deleted", "deleted", "deleted"},
        MergeCase{"DeletedInOldList", "a=deleted; b=1", "", "b=1", ""},
        MergeCase{"NamesDifferByCase", "SID=1", "sid=2", "sid=2; SID=1", "sid=2"},
        MergeCase{"PairWithoutEquals", "flag; a=1", "flag=2", "flag=2; a=1", "flag=2"},
        MergeCase{"GbkTrailByteIsNotSeparator", "n=\x81;", "", "n=\x81;", ""},
        MergeCase{"BothEmpty", "", "", "", ""}),
    [](const ::testing::TestParamInfo<MergeCase>& info) { return std::string(info.param.name); });

TEST(CookieNameTest, TakesTextBeforeFirstEqualsTrimmed) {
    EXPECT_EQ(CookieName(" a =1"), "a");
    EXPECT_EQ(CookieName("a=b=c"), "a");
    EXPECT_EQ(CookieName("=v"), "");
    EXPECT_EQ(CookieName("\xA1\xA1whole "), "whole");
    EXPECT_EQ(CookieName(""), "");
}

TEST(DedupePiecesTest, KeepsFirstOccurrenceOfWholePieces) {
    EXPECT_EQ(DedupePieces("a; b; a; b=1", "; "), "a; b; b=1");
    EXPECT_EQ(DedupePieces("ab; a; ab", "; "), "ab; a");
    EXPECT_EQ(DedupePieces("x,,x,,", ","), "x,");
    EXPECT_EQ(DedupePieces("", "; "), "");
}

struct JarCase {
    const char* name;
    const char* setBy;      // the address that answered
    std::string setCookie;  // its Set-Cookie value
    const char* askedBy;    // the address of the next request
    std::string sent;       // what that request carries
};
void PrintTo(const JarCase& c, std::ostream* out) { *out << c.name; }

class CookieJarTest : public ::testing::TestWithParam<JarCase> {};

TEST_P(CookieJarTest, SendsWhereABrowserWould) {
    const JarCase& c = GetParam();
    CookieJar jar;
    jar.takeFrom("https://www.example.com/", "Set-Cookie: old=0; Path=/\r\n");
    jar.takeFrom(c.setBy, std::string("Content-Type: text/html\r\nSet-Cookie: ") + c.setCookie + "\r\n");
    EXPECT_EQ(jar.cookiesFor(c.askedBy), c.sent);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, CookieJarTest,
    ::testing::Values(
        JarCase{"SameHost", "https://www.example.com/a/b", "s=1", "https://www.example.com/a/c", "s=1; old=0"},
        JarCase{"HostOnlyStaysHome", "https://www.example.com/", "s=1", "https://img.example.com/", ""},
        JarCase{"OtherHost", "https://www.example.com/", "s=1; Domain=.example.com", "http://127.0.0.1/", ""},
        JarCase{"DomainCoversSubHosts", "https://www.example.com/", "s=1; Domain=.example.com; Path=/",
                "http://img.example.com/x", "s=1"},
        JarCase{"DomainNotOfTheSetter", "https://www.example.com/", "s=1; Domain=evil.com",
                "https://evil.com/", ""},
        JarCase{"TopLevelDomain", "https://www.example.com/", "s=1; Domain=com", "https://other.com/", ""},
        JarCase{"DomainOnlyAtADot", "https://www.example.com/", "s=1; Domain=ample.com", "https://ample.com/", ""},
        JarCase{"DomainNotToALongerName", "https://www.example.com/", "s=1; Domain=example.com",
                "https://badexample.com/", ""},
        JarCase{"DomainToItselfAndBelow", "https://www.example.com/", "s=1; Domain=example.com",
                "https://example.com/", "s=1"},
        JarCase{"AddressNotUnderADomain", "http://10.0.0.1/", "s=1; Domain=0.0.1", "http://10.0.0.1/", ""},
        JarCase{"AddressHasNoDomainsAbove", "http://a.0.0.1/", "s=1; Domain=0.0.1", "http://10.0.0.1/", ""},
        JarCase{"AddressAsItsOwnDomain", "http://10.0.0.1/", "s=1; Domain=10.0.0.1", "http://10.0.0.1/", "s=1"},
        JarCase{"CookieAtTheSizeLimit", "https://www.example.com/", "n=" + std::string(kMaxCookieBytes - 1, 'v'),
                "https://www.example.com/x", "old=0; n=" + std::string(kMaxCookieBytes - 1, 'v')},
        JarCase{"CookieOverTheSizeLimit", "https://www.example.com/", "n=" + std::string(kMaxCookieBytes, 'v'),
                "https://www.example.com/x", "old=0"},
        JarCase{"PathPrefixOnly", "https://www.example.com/", "s=1; Path=/a", "https://www.example.com/ab", "old=0"},
        JarCase{"PathBelow", "https://www.example.com/", "s=1; Path=/a", "https://www.example.com/a/b",
                "s=1; old=0"},
        JarCase{"SecureNotOverHttp", "https://www.example.com/", "s=1; Secure; Path=/",
                "http://www.example.com/", "old=0"},
        JarCase{"SecureNotFromHttp", "http://www.example.com/", "s=1; Secure; Path=/",
                "https://www.example.com/", "old=0"},
        JarCase{"ExpiredRemoves", "https://www.example.com/", "old=gone; Max-Age=0; Path=/",
                "https://www.example.com/", ""},
        JarCase{"PastDateRemoves", "https://www.example.com/", "old=x; Expires=Thu, 01 Jan 1970 00:00:00 GMT",
                "https://www.example.com/", ""},
        JarCase{"Replaced", "https://www.example.com/", "old=1; Path=/", "https://www.example.com/", "old=1"}),
    [](const auto& info) { return std::string(info.param.name); });

// A cookies file's lines as a jar takes them in, read at second 1000:
// what a request to `askedBy` then carries, or why a line is refused.
struct CookiesFileCase {
    const char* name;
    std::string text;
    const char* askedBy;
    std::string sent;
    std::string error = {};  // the start of the refusal; empty: read
};
void PrintTo(const CookiesFileCase& c, std::ostream* out) { *out << c.name; }

class CookiesFileTest : public ::testing::TestWithParam<CookiesFileCase> {};

TEST_P(CookiesFileTest, JoinsTheJarUnderItsRules) {
    const CookiesFileCase& c = GetParam();
    CookieJar jar;
    const std::string error = ReadCookiesText(c.text, jar, 1000);
    EXPECT_EQ(error.substr(0, c.error.size()), c.error);
    EXPECT_EQ(error.empty(), c.error.empty()) << error;
    EXPECT_EQ(jar.cookiesFor(c.askedBy), c.sent);
}

const std::string kHost = "www.example.com\tFALSE\t/\tFALSE\t0\t";

INSTANTIATE_TEST_SUITE_P(
    Lines, CookiesFileTest,
    ::testing::Values(
        CookiesFileCase{"HostOnly", kHost + "s\t1", "https://www.example.com/x", "s=1"},
        CookiesFileCase{"HostOnlyNotBelow", kHost + "s\t1", "https://a.www.example.com/", ""},
        CookiesFileCase{"Subdomains", ".example.com\tTRUE\t/\tFALSE\t0\ts\t1", "https://a.example.com/", "s=1"},
        CookiesFileCase{"LowerCaseWordsAndDomain", "WWW.Example.COM\tfalse\t/\tfalse\t0\ts\t1",
                        "https://www.example.com/", "s=1"},
        CookiesFileCase{"SecureNotOverHttp", "www.example.com\tFALSE\t/\tTRUE\t0\ts\t1", "http://www.example.com/", ""},
        CookiesFileCase{"SecureOverHttps", "www.example.com\tFALSE\t/\tTRUE\t0\ts\t1", "https://www.example.com/",
                        "s=1"},
        CookiesFileCase{"PathPrefixOnly", "www.example.com\tFALSE\t/a\tFALSE\t0\ts\t1", "https://www.example.com/ab", ""},
        CookiesFileCase{"PathBelow", "www.example.com\tFALSE\t/a\tFALSE\t0\ts\t1", "https://www.example.com/a/b",
                        "s=1"},
        CookiesFileCase{"ExpiresNow", "www.example.com\tFALSE\t/\tFALSE\t1000\ts\t1", "https://www.example.com/", ""},
        CookiesFileCase{"ExpiresLater", "www.example.com\tFALSE\t/\tFALSE\t1001\ts\t1", "https://www.example.com/",
                        "s=1"},
        CookiesFileCase{"ExpiredRemovesItsNamesake", kHost + "s\t1\n" + "www.example.com\tFALSE\t/\tFALSE\t5\ts\t2",
                        "https://www.example.com/", ""},
        CookiesFileCase{"HttpOnlyIsACookie", "#HttpOnly_" + kHost + "s\t1", "https://www.example.com/", "s=1"},
        CookiesFileCase{"CommentsBlanksAndCrLf", "# Netscape HTTP Cookie File\r\n\r\n \t\n#" + kHost + "c\t0\r\n" +
                                                     kHost + "s\t1\r\n",
                        "https://www.example.com/", "s=1"},
        CookiesFileCase{"EmptyValue", kHost + "s\t", "https://www.example.com/", "s="},
        CookiesFileCase{"OverTheSizeLimitLeftOut", kHost + "n\t" + std::string(kMaxCookieBytes, 'v'),
                        "https://www.example.com/", ""},
        CookiesFileCase{"SixFields", kHost + "s", "https://www.example.com/", "", "line 1: expected 7 fields"},
        CookiesFileCase{"EightFields", kHost + "s\t1\t2", "https://www.example.com/", "", "line 1: expected 7 fields"},
        CookiesFileCase{"SpacesForTabs", "www.example.com FALSE / FALSE 0 s 1", "https://www.example.com/", "",
                        "line 1: expected 7 fields"},
        CookiesFileCase{"NumberedAfterGoodLines", "# comment\n" + kHost + "s\t1\nwww.example.com\tYES\t/\tFALSE\t0\tt\t1",
                        "https://www.example.com/", "s=1", "line 3: the second field must be TRUE or FALSE"},
        CookiesFileCase{"SecureNotAWord", "www.example.com\tFALSE\t/\t1\t0\ts\t1", "https://www.example.com/", "",
                        "line 1: the fourth field"},
        CookiesFileCase{"NoDomain", ".\tTRUE\t/\tFALSE\t0\ts\t1", "https://www.example.com/", "", "line 1: the domain"},
        CookiesFileCase{"DomainWithAPath", "example.com/x\tTRUE\t/\tFALSE\t0\ts\t1", "https://example.com/", "",
                        "line 1: the domain"},
        CookiesFileCase{"RelativePath", "www.example.com\tFALSE\ta\tFALSE\t0\ts\t1", "https://www.example.com/a", "",
                        "line 1: the path"},
        CookiesFileCase{"NegativeExpiry", "www.example.com\tFALSE\t/\tFALSE\t-1\ts\t1", "https://www.example.com/", "",
                        "line 1: the expiry"},
        CookiesFileCase{"ExpiryNotANumber", "www.example.com\tFALSE\t/\tFALSE\t12x\ts\t1", "https://www.example.com/",
                        "", "line 1: the expiry"},
        CookiesFileCase{"NoName", kHost + "\t1", "https://www.example.com/", "", "line 1: the name"},
        CookiesFileCase{"NameWithASpace", kHost + "a b\t1", "https://www.example.com/", "", "line 1: the name"},
        CookiesFileCase{"ValueCarryingAnotherCookie", kHost + "s\t1; t=2", "https://www.example.com/", "",
                        "line 1: the value"},
        CookiesFileCase{"ValueWithAControlCharacter", kHost + "s\t1\x01", "https://www.example.com/", "",
                        "line 1: the value"}),
    [](const auto& info) { return std::string(info.param.name); });

// Set-Cookie lines for `count` cookies named `prefix`0, `prefix`1, ...
std::string SetCookies(const std::string& prefix, std::size_t count, const std::string& attributes = "") {
    std::string headers;
    for (std::size_t i = 0; i < count; ++i)
        headers += "Set-Cookie: " + prefix + std::to_string(i) + "=1" + attributes + "\r\n";
    return headers;
}

// A host that sets thousands of cookies: each domain keeps its newest 50,
// the jar its newest 3,000, and no Cookie line grows past its bound.
TEST(CookieJarBounds, OldestGoFirstAndTheLineStaysShort) {
    CookieJar jar;
    jar.takeFrom("https://a.example.com/", SetCookies("h", kMaxCookiesPerDomain));
    EXPECT_EQ(jar.size(), kMaxCookiesPerDomain);
    EXPECT_EQ(jar.cookiesFor("https://a.example.com/").substr(0, 10), "h0=1; h1=1");
    // Set again, a cookie keeps its age; a new one pushes the oldest out.
    jar.takeFrom("https://a.example.com/", "Set-Cookie: h0=2\r\nSet-Cookie: fresh=1\r\n");
    EXPECT_EQ(jar.size(), kMaxCookiesPerDomain);
    EXPECT_EQ(jar.cookiesFor("https://a.example.com/").substr(0, 10), "h1=1; h2=1");
    // The domain above the host is a domain of its own.
    jar.takeFrom("https://a.example.com/", SetCookies("d", 12000, "; Domain=example.com"));
    EXPECT_EQ(jar.size(), 2 * kMaxCookiesPerDomain);
    EXPECT_EQ(jar.cookiesFor("https://b.example.com/").substr(0, 20), "d11950=1; d11951=1; ");

    // Across the jar: the next cookie past the bound takes the place of the
    // oldest one, wherever it was set.
    CookieJar many;
    for (std::size_t host = 0; host < kMaxCookies / kMaxCookiesPerDomain; ++host)
        many.takeFrom("https://h" + std::to_string(host) + ".example/", SetCookies("c", kMaxCookiesPerDomain));
    EXPECT_EQ(many.size(), kMaxCookies);
    many.takeFrom("https://last.example/", "Set-Cookie: late=1\r\n");
    EXPECT_EQ(many.size(), kMaxCookies);
    EXPECT_EQ(many.cookiesFor("https://h0.example/").substr(0, 10), "c1=1; c2=1");
    EXPECT_EQ(many.cookiesFor("https://h1.example/").substr(0, 10), "c0=1; c1=1");
    EXPECT_EQ(many.cookiesFor("https://last.example/"), "late=1");

    // The line takes what fits, in its order, up to its bound exactly.
    const std::string first(kMaxCookieLineBytes / 2 - 4, 'v');
    for (const std::size_t second : {first.size(), first.size() + 1}) {
        CookieJar large;
        const std::string other(second, 'w');
        large.takeFrom("https://www.example.com/",
                       "Set-Cookie: c0=" + first + "\r\nSet-Cookie: c1=" + other + "\r\nSet-Cookie: s=1\r\n");
        EXPECT_EQ(large.cookiesFor("https://www.example.com/"),
                  second == first.size() ? "c0=" + first + "; c1=" + other : "c0=" + first + "; s=1");
    }
}

}  // namespace
}  // namespace lumigrab
