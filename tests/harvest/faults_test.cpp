// Result pages from a service that misbehaves. Whatever a page holds, or
// however long it keeps us waiting, nothing in it runs, it adds only the rows
// its data really lists, and the run ends with its closing lines.
#include <chrono>
#include <set>
#include <string>

#include "harvest_fixture.h"
#include "json/script_engine.h"
#include "net/http_request.h"
#include "support/loopback_server.h"

namespace lumigrab::testing {
namespace {

const std::string kMarker = R"("isNeedAsyncRequest":0,"data":)";
const std::string kOneRow = R"([{"objURL":"http://127.0.0.1/1.jpg"}])";

// A result page around `array`, the way the service frames it.
std::string FramedPage(const std::string& array) {
    return "<html><script>app.setData('imgData', {\"queryExt\":\"x\"," + kMarker + array +
           "});</script></html>";
}

std::string Nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// Every byte value but zero, which would end the page before the marker.
std::string AllBytes() {
    std::string bytes;
    for (int round = 0; round < 64; ++round)
        for (int b = 1; b < 256; ++b)
            bytes.push_back(static_cast<char>((b * 37 + round) % 255 + 1));
    return bytes;
}

LoopbackReply Page(std::string body) {
    LoopbackReply reply;
    reply.headers = {"Content-Type: text/html; charset=utf-8"};
    reply.body = std::move(body);
    return reply;
}

struct PageCase {
    const char* name;
    LoopbackReply (*reply)();
    int rowsPerPage;  // rows each page of this kind must add
    // Shortened for a service that goes silent; 0 keeps the default.
    std::chrono::milliseconds stallLimit = 0ms;
};
void PrintTo(const PageCase& c, std::ostream* out) { *out << c.name; }

class HostilePageTest : public HarvestFixture, public ::testing::WithParamInterface<PageCase> {
protected:
    void TearDown() override {
        HarvestFixture::TearDown();
        SetDefaultHttpTimeoutForTesting(0ms);
    }
};

TEST_P(HostilePageTest, NothingRunsAndTheRunEnds) {
    const PageCase& c = GetParam();
    SetDefaultHttpTimeoutForTesting(c.stallLimit);
    LoopbackServer service([&](const LoopbackRequest&) { return c.reply(); },
                           LoopbackLimits{.maxConnections = 16, .maxConcurrent = 8,
                                          .maxRequestBytes = 64 << 10, .idleTimeout = 5000ms,
                                          .lifetime = 60000ms});
    state.serviceOrigin = service.url("");
    window.setText(ctl::kDepth, "2");
    window.setText(ctl::kThreadCount, "2");

    StartHarvest(window, state);
    ASSERT_TRUE(WaitForEnd(15000)) << "the run did not end";

    const int rows = 2 * c.rowsPerPage;
    EXPECT_EQ(window.rowCount(ctl::kResultList), rows);
    for (const auto& row : window.rows(ctl::kResultList)) {
        // Only data that the page really spelled out becomes a row.
        EXPECT_EQ(row[ctl::kColAddress], "http://127.0.0.1/1.jpg");
        EXPECT_EQ(row[ctl::kColState], "");
    }
    EXPECT_EQ(window.progressPosition(ctl::kProgress), 2);
    EXPECT_EQ(window.logMessages(), ClosingLines(rows));
    // Both pages asked for, of the result page or, once one came without its
    // array, of the JSON endpoint.
    std::set<long> pages;
    for (const LoopbackRequest& r : service.requests()) {
        const bool flip = r.target.starts_with("/search/flip");
        const std::size_t pn = r.target.find("&pn=");
        if ((flip || r.target.starts_with("/search/acjson")) && pn != std::string::npos)
            pages.insert(std::strtol(r.target.c_str() + pn + 4, nullptr, 10) / (flip ? 20 : 30));
    }
    EXPECT_EQ(pages, (std::set<long>{0, 1}));
}

INSTANTIATE_TEST_SUITE_P(
    Pages, HostilePageTest,
    ::testing::Values(
        // The same framing with plain data: proves the pages are read at all.
        PageCase{"PlainData",
                 [] {
                     return Page(FramedPage(R"([{"objURL":"http:\/\/127.0.0.1\/1.jpg",)"
                                            R"("width":4,"height":3,"thumbURL":"t"},{}])"));
                 },
                 1},
        // Each would make a row, or loop forever, if the array were run as script.
        PageCase{"CallInsideElement",
                 [] {
                     return Page(FramedPage(
                         R"([{"objURL":(function(){return "http://127.0.0.1/1.jpg"})()}])"));
                 },
                 0},
        PageCase{"ArrayBuiltByScript",
                 [] {
                     return Page(FramedPage(
                         R"([].concat([{"objURL":"http://127.0.0.1/"+1+".jpg"}]))"));
                 },
                 0},
        PageCase{"EndlessLoop",
                 [] { return Page(FramedPage("[1,2].map(function(){while(1){}})")); }, 0},
        PageCase{"GetterOnElement",
                 [] {
                     return Page(FramedPage(
                         R"([{get objURL(){while(1){}}}])"));
                 },
                 0},
        // Garbage that is not script either.
        PageCase{"EveryByteValue", [] { return Page(FramedPage(AllBytes())); }, 0},
        PageCase{"NestedBeyondAnyStack", [] { return Page(FramedPage(Nested(200000))); }, 0},
        PageCase{"UnterminatedString",
                 [] { return Page(FramedPage(R"([{"objURL":"http://127.0.0.1/1.jpg)")); },
                 0},
        PageCase{"ZeroByteBeforeMarker",
                 [] {
                     std::string body = FramedPage(kOneRow);
                     body.insert(body.find(kMarker), 1, '\0');
                     return Page(body);
                 },
                 0},
        // The connection drops just before the end: a broken page, even one
        // whose array arrived whole, adds nothing.
        PageCase{"BodyCutShort",
                 [] {
                     LoopbackReply reply = Page(FramedPage(kOneRow));
                     reply.closeAfterBodyBytes = reply.body.size() - 5;
                     return reply;
                 },
                 0},
        // A page past the body cap is refused as a whole.
        PageCase{"PageBeyondBodyCap",
                 [] {
                     LoopbackReply reply = Page(std::string(1 << 20, ' '));
                     reply.bodyRepeat = 70;
                     return reply;
                 },
                 0},
        // The service answers nothing at all; the stall limit gives it up.
        PageCase{"SilentService",
                 [] {
                     LoopbackReply reply = Page(FramedPage(kOneRow));
                     reply.stallBeforeReply = 30000ms;
                     return reply;
                 },
                 0, 500ms}),
    [](const auto& info) { return std::string(info.param.name); });

// Well-formed data too large for the script engine: the page adds nothing,
// but the log names it instead of letting it pass for an empty page.
TEST_F(HarvestFixture, UnreadablePageSaysSoInTheLog) {
    const std::string page =
        FramedPage(R"([{"objURL":"http:\/\/127.0.0.1\/1.jpg"},{"objURL":")" +
                   std::string(ScriptEngine::kDefaultBudget / 2, 'a') + R"("}])");
    // The front page is an ordinary small one.
    LoopbackServer service([&](const LoopbackRequest& r) {
        return Page(r.target.starts_with("/search/flip") ? page : std::string("<html></html>"));
    });
    state.serviceOrigin = service.url("");

    // One page: the run's end empties the log, and the line must survive it.
    // Reading a page this size takes a while under the thread sanitizer.
    StartHarvest(window, state);
    ASSERT_TRUE(WaitForEnd(100000));

    EXPECT_EQ(window.rowCount(ctl::kResultList), 0);
    std::vector<Text> closing = ClosingLines(0);
    closing.push_back(Gbk("第0页数据无法读取"));
    EXPECT_EQ(window.logMessages(), closing);
}

// The stand-in's own faulty pages, reached through the proxy exactly as the
// program reaches the real service.
struct StandinPage {
    const char* name;
    const char* keyword;
};
void PrintTo(const StandinPage& c, std::ostream* out) { *out << c.name; }

standin::StandinOptions LongStall() {
    standin::StandinOptions options = QuickStandin();
    options.stallTime = 30000ms;  // far past the stall limit below
    return options;
}

class StandinPageTest : public HarvestFixture, public ::testing::WithParamInterface<StandinPage> {
protected:
    StandinPageTest() : HarvestFixture(LongStall()) {}
    void TearDown() override {
        HarvestFixture::TearDown();
        SetDefaultHttpTimeoutForTesting(0ms);
    }
};

TEST_P(StandinPageTest, NoRowsAndTheRunEnds) {
    SetDefaultHttpTimeoutForTesting(500ms);
    window.setText(ctl::kKeyword, GetParam().keyword);
    window.setText(ctl::kDepth, "3");
    window.setText(ctl::kThreadCount, "3");

    StartHarvest(window, state);
    ASSERT_TRUE(WaitForEnd(15000)) << "the run did not end";

    EXPECT_EQ(window.rowCount(ctl::kResultList), 0);
    EXPECT_EQ(window.progressPosition(ctl::kProgress), 3);
    EXPECT_EQ(window.logMessages(), ClosingLines(0));
    EXPECT_EQ(server.pageRequests(), 3);
}

INSTANTIATE_TEST_SUITE_P(Keywords, StandinPageTest,
                         ::testing::Values(StandinPage{"ScriptThatNeverEnds", "standin-garbage"},
                                           StandinPage{"StalledPage", "standin-stall"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lumigrab::testing
