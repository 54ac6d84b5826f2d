#include "json/json_document.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "text/encoding.h"

namespace lumigrab {
namespace {

using Clock = std::chrono::steady_clock;

const char kThreePictures[] =
    R"([{"objURL":"http:\/\/img.example\/0.jpg","width":640,"height":480},)"
    R"({"objURL":"http://img.example/1.jpg","width":800},)"
    R"({'objURL':'http://img.example/2.jpg',width:1024,}])";

TEST(JsonDocument, ThreePicturesCountAndTexts) {
    JsonDocument doc;
    EXPECT_EQ(doc.VariableName(), "da");
    ASSERT_TRUE(doc.Parse(kThreePictures));
    EXPECT_EQ(doc.Count(), 3);
    EXPECT_EQ(doc.GetText("[0].objURL"), "http://img.example/0.jpg");
    EXPECT_EQ(doc.GetText("[2].objURL"), "http://img.example/2.jpg");
    EXPECT_EQ(doc.GetText("[3].objURL"), "");
    EXPECT_EQ(doc.GetText("[0].width"), "640");
    EXPECT_EQ(doc.GetText("[1].height"), "");
}

TEST(JsonDocument, EmptyTextLeavesUndefined) {
    JsonDocument doc;
    EXPECT_FALSE(doc.Parse(""));
    EXPECT_LE(doc.Count(), 0);
    EXPECT_EQ(doc.TypeOf(""), 0);
    EXPECT_EQ(doc.ToText(), "");  // undefined has no JSON text
}

TEST(JsonDocument, TruncatedTextLeavesNull) {
    JsonDocument doc;
    ASSERT_TRUE(doc.Parse("[1]"));
    EXPECT_FALSE(doc.Parse("[{\"a\":1}"));
    EXPECT_EQ(doc.ToText(), "null");
    EXPECT_LE(doc.Count(), 0);
}

TEST(JsonDocument, NumberMemberWithoutBracketGoesThroughTypeOf) {
    JsonDocument doc;
    ASSERT_TRUE(doc.Parse(R"({"total":12,"ratio":0.25,"list":[]})"));
    EXPECT_EQ(doc.TypeOf("total"), 2);
    EXPECT_EQ(doc.GetNumber("total"), 12);
    EXPECT_EQ(doc.GetText("total"), "12");
    EXPECT_EQ(doc.GetText("ratio"), "0.25");
}

TEST(JsonDocument, CountDiscountsTheInheritedHelpers) {
    JsonDocument doc;
    ASSERT_TRUE(doc.Parse(R"({"a":1,"b":{"c":[1,2,3,4,5]}})"));
    EXPECT_EQ(doc.Count(), 2);
    EXPECT_EQ(doc.Count("b"), 1);
    EXPECT_EQ(doc.Count("b.c"), 5);
    EXPECT_LE(doc.Count("missing"), 0);
}

TEST(JsonDocument, MemberNamesDropTheHelpers) {
    JsonDocument doc;
    ASSERT_TRUE(doc.Parse(R"({"a":1,"b":[true]})"));
    TextList names{"stale"};
    EXPECT_EQ(doc.MemberNames(names), 2);
    EXPECT_EQ(names, (TextList{"a", "b"}));
    EXPECT_EQ(doc.MemberNames(names, "b"), 1);
    EXPECT_EQ(names, (TextList{"0"}));
    EXPECT_EQ(doc.MemberNames(names, "nothing"), 0);
    EXPECT_TRUE(names.empty());
}

TEST(JsonDocument, ClearLeavesAnEmptyObject) {
    JsonDocument doc;
    ASSERT_TRUE(doc.Parse(kThreePictures));
    doc.Clear();
    EXPECT_EQ(doc.Count(), 0);
    EXPECT_EQ(doc.ToText(), "{}");
}

TEST(JsonDocument, FreshDocumentHoldsAnEmptyObject) {
    JsonDocument doc;
    EXPECT_TRUE(doc.HasLiveEngine());
    EXPECT_EQ(doc.ToText(), "{}");
    EXPECT_EQ(doc.Count(), 0);
}

TEST(JsonDocument, CloneSharesTheEngineUntilAParse) {
    JsonDocument doc;
    ASSERT_TRUE(doc.Parse(R"({"a":1})"));
    auto copy = doc.Clone();
    EXPECT_EQ(copy->VariableName(), "da");
    EXPECT_TRUE(copy->SharesEngineWith(doc));
    doc.SetMemberNumber("b", 2);
    EXPECT_EQ(copy->GetText("b"), "2");
    copy->SetMember("c", "x");
    EXPECT_EQ(doc.GetText("c"), "x");

    ASSERT_TRUE(copy->Parse("[5]"));  // a new engine for the copy only
    EXPECT_FALSE(copy->SharesEngineWith(doc));
    EXPECT_EQ(copy->ToText(), "[5]");
    EXPECT_EQ(doc.ToText(), R"({"a":1,"b":2,"c":"x"})");
}

TEST(JsonDocument, ParseStartsFromAFreshEngine) {
    // Parses and reads, before the script that leaks or after it, do not
    // make the engine one to keep.
    for (const bool reads : {false, true}) {
        SCOPED_TRACE(reads);
        JsonDocument doc;
        const std::string_view members[] = {"objURL"};
        if (reads) {
            ASSERT_TRUE(doc.Parse(kThreePictures));
            EXPECT_EQ(doc.Count(), 3);
            EXPECT_EQ(doc.GetElementMemberTexts(2, members).front(), "http://img.example/2.jpg");
            doc.Clear();
        }
        doc.SetMemberJson("a", "(this.leak=5)");  // leaves a global behind
        if (reads) {
            doc.Count();
            doc.GetElementMemberTexts(0, members);
            doc.Clear();
        }
        ASSERT_TRUE(doc.Parse("[1]"));
        doc.Push("leak", "", true);  // throws, pushing nothing, unless the global survived
        EXPECT_EQ(doc.ToText(), "[1]");
    }
}

// Strict JSON is decoded, anything else compiled; the value must not tell
// which. The escapes of a single quote and of a backslash before one,
// duplicate and "__proto__" keys, and the literals JSON refuses.
TEST(JsonDocument, ParseGivesTheCompilersValueWhicheverWayItReads) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {R"({"t":"Lumi\'s","u":"\u0041\/"})", R"({"t":"Lumi's","u":"A/"})"},
        {R"(["a\\'b", "c\\\'d", "e\\nf"])", R"(["a\\'b","c\\'d","e\\nf"])"},
        {R"({"a":1,"a":2,"__proto__":{"x":1}})", R"({"a":2,"__proto__":{"x":1}})"},
        {R"([-0, 1e400, 0.1])", R"([0,null,0.1])"},
        {R"(['x', {k:1}, [1,,2], {"t":"\x41\v"},])", R"(["x",{"k":1},[1,null,2],{"t":"A\u000b"}])"},
        {R"(["猫的图片", "\u732b"])", R"(["猫的图片","猫"])"},
    };
    JsonDocument doc;
    for (const auto& [literal, value] : cases) {
        SCOPED_TRACE(literal);
        ASSERT_TRUE(doc.Parse(Utf8ToGbk(literal)));
        EXPECT_EQ(GbkToUtf8(doc.ToText()), value);
    }
}

TEST(JsonDocument, ParseOfAnUntouchedDocumentLeavesItsCloneAlone) {
    JsonDocument doc;
    auto copy = doc.Clone();
    ASSERT_TRUE(doc.Parse("[1]"));
    EXPECT_FALSE(copy->SharesEngineWith(doc));
    EXPECT_EQ(copy->ToText(), "{}");
}

TEST(JsonDocument, CloneOutlivesItsSource) {
    std::unique_ptr<JsonDocument> copy;
    {
        JsonDocument doc;
        ASSERT_TRUE(doc.Parse("[1,2]"));
        copy = doc.Clone();
    }
    EXPECT_EQ(copy->Count(), 2);
}

TEST(JsonDocument, SetMemberQuotesOrEvaluates) {
    JsonDocument doc;
    doc.SetMember("name", "cat");
    doc.SetMember("list", "[1,2,3]", true);
    doc.SetMember("empty", "", true);
    doc.SetMemberJson("inner", "{k:'v'}");
    doc.SetMemberNumber("n", -2.5);
    EXPECT_EQ(doc.ToText(), R"({"name":"cat","list":[1,2,3],"empty":{},"inner":{"k":"v"},"n":-2.5})");
    EXPECT_EQ(doc.GetMemberJson("list"), "[1,2,3]");
    EXPECT_EQ(doc.GetMemberJson("name"), "\"cat\"");
    EXPECT_EQ(doc.GetNumber("n"), -2.5);
}

TEST(JsonDocument, UnescapedApostropheDoesNothing) {
    JsonDocument doc;
    doc.SetMember("name", "it's");
    EXPECT_FALSE(doc.HasMember("name"));
    doc.SetMember("bad key", "x");
    EXPECT_EQ(doc.ToText(), "{}");
}

TEST(JsonDocument, GetObjectAndElementObjectAreIndependentCopies) {
    JsonDocument doc;
    ASSERT_TRUE(doc.Parse(R"({"items":[{"u":"a"},{"u":"b"}],"meta":{"n":2}})"));
    auto meta = doc.GetObject("meta");
    ASSERT_TRUE(meta);
    EXPECT_EQ(meta->GetText("n"), "2");
    EXPECT_FALSE(meta->SharesEngineWith(doc));
    meta->SetMemberNumber("n", 3);
    EXPECT_EQ(doc.GetText("meta.n"), "2");

    auto second = doc.GetElementObject(1, "items");
    EXPECT_EQ(second->GetText("u"), "b");
    auto missing = doc.GetElementObject(7, "items");
    EXPECT_EQ(missing->TypeOf(""), 0);
    EXPECT_EQ(doc.GetObject("items")->Count(), 2);
}

TEST(JsonDocument, ElementTexts) {
    JsonDocument doc;
    ASSERT_TRUE(doc.Parse(R"({"list":["x",7,{"a":1}]})"));
    EXPECT_EQ(doc.GetElementText(0, "list"), "x");
    EXPECT_EQ(doc.GetElementText(1, "list"), "7");
    EXPECT_EQ(doc.GetElementText(2, "list", true), R"({"a":1})");
    EXPECT_EQ(doc.GetElementText(0, "list", true), "\"x\"");
    EXPECT_EQ(doc.GetElementText(9, "list"), "");
}

TEST(JsonDocument, PushMakesAnArrayWhereThereIsNone) {
    JsonDocument doc;
    doc.Push("a");                   // the variable itself was {}
    doc.Push("2", "", true);
    doc.Push("[3]", "", true);
    EXPECT_EQ(doc.ToText(), R"(["a",2,[3]])");
    ASSERT_TRUE(doc.Parse(R"({"tags":"not an array"})"));
    doc.Push("t1", "tags");
    doc.Push("t2", "tags");
    EXPECT_EQ(doc.ToText(), R"({"tags":["t1","t2"]})");
}

TEST(JsonDocument, SetAndRemoveElements) {
    JsonDocument doc;
    ASSERT_TRUE(doc.Parse("[1,2,3,4]"));
    doc.SetElement(0, "first");
    doc.SetElement(1, "{b:1}", true);
    doc.RemoveElement(2);
    EXPECT_EQ(doc.ToText(), R"(["first",{"b":1},4])");
    doc.RemoveElement(10);
    EXPECT_EQ(doc.Count(), 3);
}

TEST(JsonDocument, DeleteAndHasMember) {
    JsonDocument doc;
    ASSERT_TRUE(doc.Parse(R"({"a":1,"b":null,"c":0})"));
    EXPECT_TRUE(doc.HasMember("a"));
    EXPECT_FALSE(doc.HasMember("b"));  // null counts as absent
    EXPECT_TRUE(doc.HasMember("c"));
    doc.DeleteMember("a");
    EXPECT_FALSE(doc.HasMember("a"));
    EXPECT_EQ(doc.ToText(), R"({"b":null,"c":0})");
}

TEST(JsonDocument, ResetByKind) {
    JsonDocument doc;
    ASSERT_TRUE(doc.Parse("[1]"));
    doc.Reset(3);  // not a kind that resets
    EXPECT_EQ(doc.ToText(), "[1]");
    doc.Reset(4);
    EXPECT_EQ(doc.ToText(), "{}");
    doc.Reset(5);
    EXPECT_EQ(doc.ToText(), "[]");
    doc.Reset(0);
    EXPECT_EQ(doc.ToText(), "{}");
}

TEST(JsonDocument, SetValueQuotedOrRaw) {
    JsonDocument doc;
    doc.SetValue("abc");
    EXPECT_EQ(doc.ToText(), "\"abc\"");
    EXPECT_EQ(doc.TypeOf(""), 6);
    doc.SetValue("[1,2]", true);
    EXPECT_EQ(doc.Count(), 2);
}

struct TypeCase {
    const char* path;
    int type;
};

TEST(JsonDocument, TypeOfCodes) {
    JsonDocument doc;
    ASSERT_TRUE(doc.Parse(R"({"s":"x","n":1.5,"o":{"k":1},"a":[1],"z":null,"b":true,"deep":{"a":[]}})"));
    const TypeCase cases[] = {
        {"s", 6}, {"n", 2}, {"o", 4}, {"a", 5}, {"deep.a", 5}, {"z", 0}, {"missing", 0},
        {"b", -1}, {"missing.deeper", -1}, {"[0]", -1},  // "da.[0]" is no script
    };
    for (const TypeCase& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(doc.TypeOf(c.path), c.type);
    }
}

TEST(JsonDocument, GbkTextSurvivesByteForByte) {
    // Titles as the service sends them after conversion: Chinese, HTML with
    // escaped slashes, a character whose second byte is a backslash (0x81 0x5C).
    const Text title = Gbk("<strong>美女<\\/strong>图片 ") + "\x81\x5C" + Gbk("（高清）");
    const Text expected = Gbk("<strong>美女</strong>图片 ") + "\x81\x5C" + Gbk("（高清）");
    JsonDocument doc;
    ASSERT_TRUE(doc.Parse("[{\"fromPageTitle\":\"" + title + "\",\"w\":1}]"));
    EXPECT_EQ(doc.GetText("[0].fromPageTitle"), expected);
    TextList names;
    ASSERT_TRUE(doc.Parse("{\"" + Gbk("标题") + "\":\"" + Gbk("猫") + "\"}"));
    EXPECT_EQ(doc.MemberNames(names), 1);
    EXPECT_EQ(names, TextList{Gbk("标题")});
    EXPECT_EQ(doc.ToText(), "{\"" + Gbk("标题") + "\":\"" + Gbk("猫") + "\"}");
}

TEST(JsonDocument, SingleByteCharactersAboveAscii) {
    JsonDocument doc;
    ASSERT_TRUE(doc.Parse("[\"a\x80" "b\"]"));  // the euro sign of code page 936
    EXPECT_EQ(doc.GetText("[0]"), "a\x80" "b");
}

// Where the code page and a byte-pair reading disagree about a byte, the
// engine must not see a string end somewhere the check did not.
TEST(JsonDocument, ConversionCannotMoveAStringEnd) {
    JsonDocument doc;
    EXPECT_FALSE(doc.Parse("[\"\xFF\x5C\", \"];this.x=1;//\"]"));
    doc.Push("x", "", true);
    EXPECT_EQ(doc.Count(), 0);
}

// Texts that would run code or eat the process are refused, quickly.
struct HostileCase {
    const char* name;
    // Made when the case runs, not at program start: the largest is 50 MB,
    // and ctest starts this program once per test.
    std::string (*text)();
};

class HostileText : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileText, RefusedQuickly) {
    JsonDocument doc;
    const std::string text = GetParam().text();
    const auto start = Clock::now();
    EXPECT_FALSE(doc.Parse(text));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(doc.TypeOf(""), 0);
    // The document is still usable.
    ASSERT_TRUE(doc.Parse("[1,2,3]"));
    EXPECT_EQ(doc.Count(), 3);
}

HostileCase kHostile[] = {
    {"EndlessLoopInCallback", [] { return std::string("[1,2].map(function(){while(1){}})"); }},
    {"EndlessLoop", [] { return std::string("(function(){for(;;){}})()"); }},
    {"GlobalAssignment", [] { return std::string("this.x=1"); }},
    {"CodeInsideTopLevelString", [] { return std::string("'while(1){}'"); }},
    {"ProgramAfterData", [] { return std::string("[1]; while(1){}"); }},
    {"ArrayBomb", [] { return std::string("new Array(1e9).join('x')"); }},
    {"DeepNesting", [] { return std::string(100000, '[') + std::string(100000, ']'); }},
    {"HugeString", [] { return "[\"" + std::string(50u << 20, 'a') + "\"]"; }},
};

INSTANTIATE_TEST_SUITE_P(Texts, HostileText, ::testing::ValuesIn(kHostile),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(JsonDocument, RefusedTextRunsNothing) {
    JsonDocument doc;
    EXPECT_FALSE(doc.Parse("this.x=1"));
    // x would exist if the text had run: then the push would succeed.
    doc.Push("x", "", true);
    EXPECT_EQ(doc.Count(), 0);
}

TEST(JsonDocument, HugeStringWithinBudgetLoads) {
    JsonDocument doc;
    ASSERT_TRUE(doc.Parse("[\"" + std::string(2u << 20, 'b') + "\"]"));
    EXPECT_EQ(doc.GetText("[0]").size(), 2u << 20);
}

TEST(JsonDocument, SmallBudgetRefusesWhatDoesNotFit) {
    JsonDocument doc;
    doc.SetEngineBudget(4u << 20);
    // Small in text, large in the engine: half a million objects.
    std::string objects = "[";
    for (int i = 0; i < 500000; ++i) objects += "{},";
    objects += "]";
    ASSERT_LT(objects.size(), 2u << 20);
    EXPECT_FALSE(doc.Parse(objects));
    EXPECT_TRUE(doc.HasLiveEngine());
    EXPECT_LE(doc.Count(), 0);
    // Over half the budget is refused before the engine sees it.
    EXPECT_FALSE(doc.Parse("[\"" + std::string(3u << 20, 'c') + "\"]"));
    EXPECT_TRUE(doc.Parse("[\"" + std::string(100000, 'c') + "\"]"));
    EXPECT_EQ(doc.Count(), 1);
}

TEST(JsonDocument, WithoutAnEngineEverythingYieldsItsFailureValue) {
    JsonDocument doc;
    doc.SetEngineBudget(1024);  // too small for any heap
    doc.Initialize();
    EXPECT_FALSE(doc.HasLiveEngine());
    EXPECT_FALSE(doc.Parse("[1]"));
    EXPECT_FALSE(doc.HasLiveEngine());  // Parse makes none when there was none
    doc.SetMember("a", "b");
    EXPECT_EQ(doc.GetText("a"), "");
    EXPECT_EQ(doc.GetText("a", true), "");
    EXPECT_EQ(doc.Count(), 0);
    EXPECT_EQ(doc.ToText(), "");
    EXPECT_EQ(doc.TypeOf("a"), -1);
    EXPECT_FALSE(doc.HasMember("a"));
    TextList names{"x"};
    EXPECT_EQ(doc.MemberNames(names), 0);
    EXPECT_TRUE(names.empty());
    auto object = doc.GetObject("a");
    EXPECT_FALSE(object->HasLiveEngine());
    EXPECT_EQ(object->TypeOf(""), -1);  // a failed evaluation, not null
    auto copy = doc.Clone();
    EXPECT_FALSE(copy->HasLiveEngine());
}

// Page workers each hold their own documents at the same time.
TEST(JsonDocument, DocumentsOnSeveralThreadsAtOnce) {
    constexpr int kThreads = 4;
    std::vector<int> good(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &good] {
            for (int round = 0; round < 25; ++round) {
                JsonDocument doc;
                const std::string n = std::to_string(t * 1000 + round);
                if (doc.Parse("[{\"objURL\":\"u" + n + "\",\"width\":" + n + "}]") &&
                    doc.GetText("[0].objURL") == "u" + n && doc.GetText("[0].width") == n)
                    ++good[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(good[t], 25) << "thread " << t;
}

}  // namespace
}  // namespace lumigrab
