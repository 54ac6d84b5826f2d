#include "json/script_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "text/encoding.h"

namespace lumigrab {
namespace {

std::shared_ptr<ScriptEngine> NewEngine(std::size_t budget = ScriptEngine::kDefaultBudget) {
    auto engine = ScriptEngine::Create(budget);
    EXPECT_TRUE(engine);
    return engine;
}

struct Conversion {
    const char* script;
    const char* text;
    double number;
    bool truth;
};

TEST(ScriptEngine, ResultKindsFollowTheResultTable) {
    const Conversion cases[] = {
        {"'abc'", "abc", 0, true},
        {"'12.5'", "12.5", 12.5, true},
        {"''", "", 0, false},
        {"640", "640", 640, true},
        {"0.1+0.2", "0.30000000000000004", 0.30000000000000004, true},
        {"-0", "0", 0, false},
        {"1/0", "Infinity", 1.0 / 0.0, true},
        {"true", "true", 1, true},
        {"false", "false", 0, false},
        {"undefined", "", 0, false},
        {"null", "", 0, false},
        {"({a:1})", "", 0, true},   // an object has no text or number form
        {"[1,2]", "", 0, true},
        {"syntax error here", "", 0, false},
        {"throw 5", "", 0, false},
        {"undefinedName.member", "", 0, false},
    };
    auto engine = NewEngine();
    for (const Conversion& c : cases) {
        SCOPED_TRACE(c.script);
        EXPECT_EQ(engine->EvalText(c.script), c.text);
        EXPECT_EQ(engine->EvalNumber(c.script), c.number);
        EXPECT_EQ(engine->EvalTruth(c.script), c.truth);
    }
}

// The engine's own calls must read each member as the compiled script
// "da[i].member" does, whatever the element or member is.
TEST(ScriptEngine, ElementMembersReadAsTheCompiledScriptDoes) {
    auto engine = NewEngine();
    ASSERT_TRUE(engine->AddCode(
        "var da=[{s:'abc',n:'12.5',e:'',z:-0,i:1/0,t:true,f:false,u:undefined,o:{a:1},a:[1],"
        "x:'\\ud83d\\ude00\xc3\xa9'},null,'str',7,,{s:null}]"));
    const std::string_view members[] = {"s", "n", "e", "z", "i", "t", "f", "u", "o", "a", "x", "length", "missing"};
    for (std::uint32_t index = 0; index <= 6; ++index) {
        const std::vector<ScriptValue> values = engine->ElementMembers("da", index, members);
        ASSERT_EQ(values.size(), std::size(members));
        for (std::size_t m = 0; m < std::size(members); ++m) {
            const std::string script = "da[" + std::to_string(index) + "]." + std::string(members[m]);
            SCOPED_TRACE(script);
            const ScriptValue want = engine->Eval(script);
            EXPECT_EQ(values[m].type, want.type);
            EXPECT_EQ(values[m].text, want.text);
            EXPECT_EQ(values[m].truth, want.truth);
            EXPECT_EQ(std::isnan(values[m].number) ? -1 : values[m].number,
                      std::isnan(want.number) ? -1 : want.number);
        }
    }
    // No such variable: every member fails, as the script does.
    const std::vector<ScriptValue> none = engine->ElementMembers("nothing", 0, members);
    EXPECT_EQ(none.front().type, ScriptValue::Type::Failed);
    EXPECT_EQ(engine->EvalNumber("da.length"), 6);  // the stack is left as it was
}

TEST(ScriptEngine, StatementsKeepGlobalsBetweenCalls) {
    auto engine = NewEngine();
    EXPECT_TRUE(engine->AddCode("var counter = 41; function bump(){ return ++counter; }"));
    EXPECT_EQ(engine->EvalNumber("bump()"), 42);
    EXPECT_FALSE(engine->AddCode("this is not a program"));
    EXPECT_EQ(engine->EvalNumber("counter"), 42);
}

TEST(ScriptEngine, CompletionValueOfAProgram) {
    auto engine = NewEngine();
    EXPECT_EQ(engine->EvalText("var s=''; for (var i=0;i<3;i++) {s=s+i+',';}"), "0,1,2,");
}

TEST(ScriptEngine, GbkSurvivesTheRoundTrip) {
    auto engine = NewEngine();
    const Text word = Gbk("美女图片：猫（小）");
    EXPECT_EQ(engine->EvalText("'" + word + "'"), word);
    engine->AddCode("var held='" + word + "'");
    EXPECT_EQ(engine->EvalNumber("held.length"), 9);  // characters, not bytes
    EXPECT_EQ(engine->EvalText("held.charAt(7)"), Gbk("小"));
}

TEST(ScriptEngine, EscapedCharactersComeBackAsGbk) {
    auto engine = NewEngine();
    EXPECT_EQ(engine->EvalText("'\\u732b'"), Gbk("猫"));
    // Beyond the BMP: the engine holds a surrogate pair, GBK has no such
    // character, so it comes back as one question mark.
    EXPECT_EQ(engine->EvalText("'a\\ud83d\\ude00b'"), "a?b");
}

TEST(ScriptEngine, BudgetTurnsAHugeStringIntoAFailure) {
    auto engine = NewEngine(8u << 20);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(engine->EvalText("var s='x'; while (true) { s = s + s; } s"), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_TRUE(engine->Alive());
    EXPECT_LE(engine->BytesInUse(), engine->Budget());
    // The engine is still usable once the big string is gone.
    engine->AddCode("s = null");
    EXPECT_EQ(engine->EvalText("'still ' + 'here'"), "still here");
}

TEST(ScriptEngine, BudgetTooSmallForAHeap) {
    EXPECT_EQ(ScriptEngine::Create(1024), nullptr);
}

void ThrowWithoutCatcher(duk_context* ctx, void*) {
    (void)duk_error(ctx, DUK_ERR_ERROR, "nobody catches this");
}

void CallFatal(duk_context* ctx, void*) { duk_fatal(ctx, "internal trouble"); }

void PushNumber(duk_context* ctx, void* arg) {
    duk_push_int(ctx, 7);
    *static_cast<int*>(arg) = duk_get_int(ctx, -1);
    duk_pop(ctx);
}

class FatalRecovery : public ::testing::TestWithParam<ScriptEngine::NativeWork> {};

TEST_P(FatalRecovery, EngineDiesProcessLives) {
    auto engine = NewEngine();
    engine->AddCode("var big = new Array(10000).join('x')");
    ASSERT_GT(engine->BytesInUse(), 0u);
    EXPECT_FALSE(engine->RunGuarded(GetParam(), nullptr));
    EXPECT_FALSE(engine->Alive());
    EXPECT_EQ(engine->BytesInUse(), 0u);  // every block handed back
    EXPECT_EQ(engine->Eval("1").type, ScriptValue::Type::Failed);
    EXPECT_EQ(engine->EvalText("'a'"), "");
    EXPECT_FALSE(engine->AddCode("var a=1"));
    // Other engines are untouched.
    auto other = NewEngine();
    EXPECT_EQ(other->EvalNumber("6*7"), 42);
}

INSTANTIATE_TEST_SUITE_P(Causes, FatalRecovery, ::testing::Values(&ThrowWithoutCatcher, &CallFatal));

TEST(ScriptEngine, GuardedWorkRunsNormally) {
    auto engine = NewEngine();
    int seen = 0;
    EXPECT_TRUE(engine->RunGuarded(&PushNumber, &seen));
    EXPECT_EQ(seen, 7);
    EXPECT_TRUE(engine->Alive());
}

TEST(ScriptEngine, MemoryIsAccountedAndReturned) {
    auto engine = NewEngine();
    const std::size_t base = engine->BytesInUse();
    engine->AddCode("var big = new Array(200000).join('ab')");
    EXPECT_GT(engine->BytesInUse(), base + 400000);
    engine->AddCode("big = null; Duktape.gc();");
    EXPECT_LT(engine->BytesInUse(), base + 100000);
}

}  // namespace
}  // namespace lumigrab
