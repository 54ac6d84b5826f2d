// Result pages: the shape the page cutter relies on, paging, filters, the
// odd elements and the fault keywords. Arrays are read with a real script
// engine, as the program reads them.
#include <gtest/gtest.h>

#include <duktape.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "standin_client.h"
#include "tools/standin/page.h"
#include "tools/standin/standin.h"

namespace lumigrab::standin {
namespace {

using testing::Between;

constexpr std::string_view kMarker = "\"isNeedAsyncRequest\":0,\"data\":";

struct DukFree {
    void operator()(duk_context* ctx) const { duk_destroy_heap(ctx); }
};

struct Element {
    int keys = 0;
    enum { Absent, Null, Text } objForm = Absent;
    std::string objURL;
    std::optional<double> width;
    std::optional<double> height;
    std::string thumbURL;
    std::string title;
    double pageNum = -1;
};

std::optional<std::string> StringMember(duk_context* ctx, const char* name) {
    std::optional<std::string> out;
    duk_get_prop_string(ctx, -1, name);
    if (duk_is_string(ctx, -1)) out = duk_get_string(ctx, -1);
    duk_pop(ctx);
    return out;
}

std::optional<double> NumberMember(duk_context* ctx, const char* name) {
    std::optional<double> out;
    duk_get_prop_string(ctx, -1, name);
    if (duk_is_number(ctx, -1)) out = duk_get_number(ctx, -1);
    duk_pop(ctx);
    return out;
}

// nullopt when the text is not a script that yields an array.
std::optional<std::vector<Element>> EvalArray(const std::string& text) {
    std::unique_ptr<duk_context, DukFree> heap(duk_create_heap_default());
    duk_context* ctx = heap.get();
    const std::string source = "(" + text + ")";
    if (duk_peval_lstring(ctx, source.data(), source.size()) != 0 || !duk_is_array(ctx, -1))
        return std::nullopt;
    std::vector<Element> out;
    const duk_size_t n = duk_get_length(ctx, -1);
    for (duk_size_t i = 0; i < n; ++i) {
        duk_get_prop_index(ctx, -1, static_cast<duk_uarridx_t>(i));
        Element e;
        duk_enum(ctx, -1, DUK_ENUM_OWN_PROPERTIES_ONLY);
        while (duk_next(ctx, -1, 0)) {
            ++e.keys;
            duk_pop(ctx);
        }
        duk_pop(ctx);
        duk_get_prop_string(ctx, -1, "objURL");
        if (duk_is_null(ctx, -1)) e.objForm = Element::Null;
        if (duk_is_string(ctx, -1)) {
            e.objForm = Element::Text;
            e.objURL = duk_get_string(ctx, -1);
        }
        duk_pop(ctx);
        e.width = NumberMember(ctx, "width");
        e.height = NumberMember(ctx, "height");
        e.thumbURL = StringMember(ctx, "thumbURL").value_or("");
        e.title = StringMember(ctx, "fromPageTitle").value_or("");
        e.pageNum = NumberMember(ctx, "pageNum").value_or(-1);
        out.push_back(std::move(e));
        duk_pop(ctx);
    }
    return out;
}

std::string Page(const StandinServer& server, const std::string& keyword, int pn,
                 std::string_view w = "0", std::string_view h = "0") {
    const Bytes body = server.expectedBody(StandinServer::FlipPathAndQuery(keyword, pn, w, h));
    return std::string(body.begin(), body.end());
}

std::size_t Occurrences(std::string_view text, std::string_view what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

StandinOptions Quiet() {
    StandinOptions o;
    o.lifetime = std::chrono::seconds(60);
    return o;
}

struct KeywordCase {
    const char* name;
    std::string keyword;
    std::string inTitle;  // how the keyword reads inside a title
};

class PageShape : public ::testing::TestWithParam<KeywordCase> {};

TEST_P(PageShape, MarkerOnceArrayThenEnd) {
    StandinServer server(Quiet());
    const KeywordCase& c = GetParam();
    const std::string page = Page(server, c.keyword, 0);
    EXPECT_EQ(Occurrences(page, kMarker), 1u);
    const auto array = Between(page, kMarker, "});");
    ASSERT_TRUE(array.has_value());
    EXPECT_EQ(array->front(), '[');
    EXPECT_EQ(array->back(), ']');
    const auto elements = EvalArray(*array);
    ASSERT_TRUE(elements.has_value()) << *array;
    ASSERT_EQ(elements->size(), static_cast<std::size_t>(kPageSize) + 1);
    EXPECT_EQ(elements->back().keys, 0);
    for (std::size_t i = 0; i + 1 < elements->size(); ++i) {
        EXPECT_NE((*elements)[i].title.find("<strong>" + c.inTitle + "</strong>"), std::string::npos)
            << (*elements)[i].title;
    }
    // More page after the array, as the service has.
    EXPECT_NE(page.find("</html>", page.find(*array)), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Keywords, PageShape,
    ::testing::Values(
        KeywordCase{"Ascii", "cat", "cat"},
        KeywordCase{"Chinese", "猫咪", "猫咪"},
        KeywordCase{"QuotesAndApostrophe", "Tom's \"cat\"", "Tom's \"cat\""},
        KeywordCase{"EndMarkerInKeyword", "a});b", "a});b"},
        KeywordCase{"StartMarkerInKeyword", std::string(kMarker) + "[]", std::string(kMarker) + "[]"},
        KeywordCase{"ScriptEndTag", "</script><b>", "</script><b>"},
        KeywordCase{"LineSeparators", "a\xE2\x80\xA8" "b\nc", "a\xE2\x80\xA8" "b\nc"},
        KeywordCase{"InvalidUtf8", "\xFF\xFE" "x", "\xEF\xBF\xBD\xEF\xBF\xBD" "x"}),
    [](const auto& info) { return info.param.name; });

struct PagingCase {
    const char* name;
    int pn;
    int listed;  // elements before the closing {}
};

class Paging : public ::testing::TestWithParam<PagingCase> {};

TEST_P(Paging, ElementsFromOffsetCappedAtTotal) {
    StandinOptions o = Quiet();
    o.total = 75;
    StandinServer server(o);
    const PagingCase& c = GetParam();
    const auto elements = EvalArray(*Between(Page(server, "cat", c.pn), kMarker, "});"));
    ASSERT_TRUE(elements.has_value());
    ASSERT_EQ(elements->size(), static_cast<std::size_t>(c.listed) + 1);
    EXPECT_EQ(elements->back().keys, 0);
    for (int i = 0; i < c.listed; ++i) EXPECT_EQ((*elements)[static_cast<std::size_t>(i)].pageNum, c.pn + i);
    EXPECT_EQ(server.listing("cat", c.pn).size(), static_cast<std::size_t>(c.listed));
}

INSTANTIATE_TEST_SUITE_P(Offsets, Paging,
                         ::testing::Values(PagingCase{"First", 0, 30}, PagingCase{"Second", 20, 30},
                                           PagingCase{"NearEnd", 60, 15},
                                           PagingCase{"LastOne", 74, 1},
                                           PagingCase{"AtTotal", 75, 0},
                                           PagingCase{"BeyondTotal", 400, 0}),
                         [](const auto& info) { return info.param.name; });

TEST(Paging, OffsetThatIsNoNumberCountsAsZero) {
    StandinServer server(Quiet());
    std::string path = StandinServer::FlipPathAndQuery("cat", 0);
    path.replace(path.find("&pn=0"), 5, "&pn=abc");
    const Bytes weird = server.expectedBody(path);
    const std::string page = Page(server, "cat", 0);
    EXPECT_EQ(std::string(weird.begin(), weird.end()), page);
}

TEST(Paging, TotalKeywordSetsResultSize) {
    StandinServer server(Quiet());
    for (int total : {0, 7, 45}) {
        const std::string keyword = "standin-total-" + std::to_string(total);
        std::size_t seen = 0;
        for (int pn = 0; pn < 100; pn += kPageSize) {
            const auto elements = EvalArray(*Between(Page(server, keyword, pn), kMarker, "});"));
            ASSERT_TRUE(elements.has_value());
            seen += elements->size() - 1;
        }
        EXPECT_EQ(seen, static_cast<std::size_t>(total)) << keyword;
    }
}

// One page holding what P overlapping pages list, in their order; none after it.
TEST(Paging, AllPagesKeywordListsThemOnTheFirstPage) {
    StandinServer server(Quiet());
    for (int pages : {1, 3}) {
        std::vector<std::string> apart;
        for (int page = 0; page < pages; ++page)
            for (const PageElement& e : server.listing("standin-total-" + std::to_string((pages - 1) * 20 + kPageSize), page * 20))
                apart.push_back(e.objURL);
        const std::string keyword = "standin-all-pages-" + std::to_string(pages);
        std::vector<std::string> together;
        for (const PageElement& e : server.listing(keyword, 0)) together.push_back(e.objURL);
        EXPECT_EQ(together, apart) << keyword;
        EXPECT_TRUE(server.listing(keyword, 20).empty()) << keyword;
    }
}

struct FilterCase {
    const char* name;
    const char* w;
    const char* h;
};

class Filters : public ::testing::TestWithParam<FilterCase> {};

TEST_P(Filters, ListedSizesFollowNonzeroFilters) {
    StandinServer server(Quiet());
    const FilterCase& c = GetParam();
    const int w = std::stoi(c.w), h = std::stoi(c.h);
    const auto elements = EvalArray(*Between(Page(server, "cat", 0, c.w, c.h), kMarker, "});"));
    ASSERT_TRUE(elements.has_value());
    const auto listed = server.listing("cat", 0, w, h);
    ASSERT_EQ(elements->size(), listed.size() + 1);
    bool anyNatural = false;
    for (std::size_t i = 0; i < listed.size(); ++i) {
        const Element& e = (*elements)[i];
        if (w > 0 && e.width) {
            EXPECT_EQ(*e.width, w);
        }
        if (h > 0) {
            EXPECT_EQ(e.height, h);
        }
        if (e.width) {
            EXPECT_EQ(*e.width, listed[i].width);
        }
        EXPECT_EQ(e.height, listed[i].height);
        EXPECT_EQ(e.thumbURL, listed[i].thumbURL);
        if (w == 0 && e.width && *e.width != (*elements)[0].width) anyNatural = true;
    }
    // Unfiltered sizes vary from picture to picture.
    if (w == 0) {
        EXPECT_TRUE(anyNatural);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Filters,
                         ::testing::Values(FilterCase{"Both", "400", "300"},
                                           FilterCase{"WidthOnly", "400", "0"},
                                           FilterCase{"HeightOnly", "0", "300"},
                                           FilterCase{"None", "0", "0"}),
                         [](const auto& info) { return info.param.name; });

TEST(Elements, OddElementsAtTheirIndexes) {
    StandinServer server(Quiet());
    const auto elements = EvalArray(*Between(Page(server, "cat", 0), kMarker, "});"));
    ASSERT_TRUE(elements.has_value());
    const auto listed = server.listing("cat", 0);
    ASSERT_EQ(elements->size(), listed.size() + 1);
    int nulls = 0, absent = 0, noWidth = 0;
    for (std::size_t i = 0; i < listed.size(); ++i) {
        const Element& e = (*elements)[i];
        switch (listed[i].objUrlForm) {
            case PageElement::ObjUrl::Present:
                EXPECT_EQ(e.objForm, Element::Text);
                EXPECT_EQ(e.objURL, listed[i].objURL);
                break;
            case PageElement::ObjUrl::Null: ++nulls; EXPECT_EQ(e.objForm, Element::Null); break;
            case PageElement::ObjUrl::Absent: ++absent; EXPECT_EQ(e.objForm, Element::Absent); break;
        }
        EXPECT_EQ(e.width.has_value(), listed[i].hasWidth) << i;
        if (!listed[i].hasWidth) ++noWidth;
    }
    EXPECT_EQ(nulls, 1);
    EXPECT_EQ(absent, 1);
    EXPECT_EQ(noWidth, 1);

    StandinOptions plain = Quiet();
    plain.elementVariants = false;
    StandinServer tidy(plain);
    for (const PageElement& e : tidy.listing("cat", 0)) {
        EXPECT_EQ(e.objUrlForm, PageElement::ObjUrl::Present);
        EXPECT_TRUE(e.hasWidth);
    }
}

TEST(Elements, AddressesPointAtThisServerInScriptEscapes) {
    StandinServer server(Quiet());
    const std::string page = Page(server, "cat", 0);
    std::string escapedBase = server.baseUrl();
    for (std::size_t at = escapedBase.find('/'); at != std::string::npos;
         at = escapedBase.find('/', at + 2))
        escapedBase.replace(at, 1, "\\/");
    EXPECT_NE(page.find("\"objURL\":\"" + escapedBase + "\\/pic\\/"), std::string::npos);
    EXPECT_EQ(page.find("\"objURL\":\"http://"), std::string::npos);
    EXPECT_NE(page.find("\\'"), std::string::npos);
    EXPECT_NE(page.find("\"height\" : "), std::string::npos);
}

TEST(Elements, DuplicatesShareOneAddress) {
    StandinServer server(Quiet());
    const auto elements =
        EvalArray(*Between(Page(server, "standin-duplicates", 0), kMarker, "});"));
    ASSERT_TRUE(elements.has_value());
    ASSERT_GT(elements->size(), 2u);
    for (std::size_t i = 0; i + 1 < elements->size(); ++i) {
        EXPECT_EQ((*elements)[i].objURL, (*elements)[0].objURL);
        EXPECT_EQ((*elements)[i].thumbURL, (*elements)[0].thumbURL);
    }
}

TEST(FaultKeywords, NoMarker) {
    StandinServer server(Quiet());
    const std::string page = Page(server, "standin-nomarker", 0);
    EXPECT_FALSE(page.empty());
    EXPECT_EQ(page.find(kMarker), std::string::npos);
}

TEST(FaultKeywords, TruncatedArrayIsNoScript) {
    StandinServer server(Quiet());
    const auto array = Between(Page(server, "standin-truncated", 0), kMarker, "});");
    ASSERT_TRUE(array.has_value());
    EXPECT_GT(array->size(), 100u);
    EXPECT_FALSE(EvalArray(*array).has_value());
}

TEST(FaultKeywords, CutoffHasNoEnd) {
    StandinServer server(Quiet());
    const std::string page = Page(server, "standin-cutoff", 0);
    ASSERT_NE(page.find(kMarker), std::string::npos);
    EXPECT_FALSE(Between(page, kMarker, "});").has_value());
}

TEST(FaultKeywords, EmptyBodyAndEmptyArray) {
    StandinServer server(Quiet());
    EXPECT_TRUE(Page(server, "standin-empty", 0).empty());
    EXPECT_EQ(Between(Page(server, "standin-emptyarray", 0), kMarker, "});"), "[]");
}

TEST(FaultKeywords, GarbageNeverFinishes) {
    StandinServer server(Quiet());
    EXPECT_EQ(Between(Page(server, "standin-garbage", 0), kMarker, "});"),
              "[1,2].map(function(){while(1){}})");
}

TEST(FaultKeywords, LookalikesAreOrdinary) {
    StandinServer server(Quiet());
    for (const char* keyword : {"standin-total-", "standin-total-x", "standin-empty ", "Standin-empty"}) {
        const auto elements = EvalArray(*Between(Page(server, keyword, 0), kMarker, "});"));
        ASSERT_TRUE(elements.has_value()) << keyword;
        EXPECT_EQ(elements->size(), static_cast<std::size_t>(kPageSize) + 1) << keyword;
    }
}

struct DecodeCase {
    const char* name;
    std::string in;
    std::string out;
};

class Decoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decoding, KeywordBytes) {
    const DecodeCase& c = GetParam();
    EXPECT_EQ(detail::SanitizeUtf8(detail::PercentDecode(c.in)), c.out);
}

INSTANTIATE_TEST_SUITE_P(
    Words, Decoding,
    ::testing::Values(DecodeCase{"Utf8", "%E7%8C%AB", "猫"}, DecodeCase{"Plus", "a+b", "a b"},
                      DecodeCase{"LowerHex", "%e7%8c%ab", "猫"},
                      DecodeCase{"BadHex", "%zz1", "%zz1"}, DecodeCase{"ShortAtEnd", "a%4", "a%4"},
                      DecodeCase{"PercentLast", "%41%", "A%"},
                      DecodeCase{"Overlong", "%C0%AF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
                      DecodeCase{"Surrogate", "%ED%A0%80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
                      DecodeCase{"CutSequence", "%E7%8C", "\xEF\xBF\xBD\xEF\xBF\xBD"},
                      DecodeCase{"BeyondUnicode", "%F4%90%80%80",
                                 "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
                      DecodeCase{"FourByte", "%F0%9F%90%B1", "\xF0\x9F\x90\xB1"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace lumigrab::standin
