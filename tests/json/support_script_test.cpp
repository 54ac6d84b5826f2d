#include "json/support_script.h"

#include <gtest/gtest.h>

#include "json/script_engine.h"

namespace lumigrab {
namespace {

// A C string as a JavaScript string literal.
std::string JsQuoted(const std::string& raw) {
    std::string out = "'";
    for (char c : raw) {
        if (c == '\\' || c == '\'') out.push_back('\\');
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        if (c == '\r') {
            out += "\\r";
            continue;
        }
        out.push_back(c);
    }
    return out + "'";
}

TEST(SupportScript, StartsWithTheCounterByteForByte) {
    const std::string counter =
        "function get__count(c){\r\n\tvar i=-2;\r\n\tfor (v in c) i++;\r\n\treturn i;\r\n}\r\n\r\n";
    EXPECT_EQ(SupportScript().substr(0, counter.size()), counter);
}

TEST(SupportScript, EveryLineEndIsCrLf) {
    const std::string& s = SupportScript();
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\n') {
            ASSERT_GT(i, 0u);
            EXPECT_EQ(s[i - 1], '\r') << "bare LF at " << i;
        }
        if (s[i] == '\r') {
            ASSERT_LT(i + 1, s.size());
            EXPECT_EQ(s[i + 1], '\n') << "bare CR at " << i;
        }
    }
}

TEST(SupportScript, HelpersAreEnumerableAndCounted) {
    auto engine = ScriptEngine::Create();
    ASSERT_TRUE(engine);
    ASSERT_TRUE(engine->AddCode(SupportScript()));
    EXPECT_EQ(engine->EvalText("var n=''; for (var k in {}) n=n+k+','; n"),
              "toJSONString,parseJSON,");
    EXPECT_EQ(engine->EvalNumber("get__count({a:1,b:2})"), 2);
    EXPECT_EQ(engine->EvalNumber("get__count([1,2,3])"), 3);
    EXPECT_EQ(engine->EvalNumber("get__count(null)"), -2);
    EXPECT_EQ(engine->EvalText("({a:[1,'x']}).toJSONString()"), "{\"a\":[1,\"x\"]}");
    EXPECT_EQ(engine->EvalText("'{\"b\":2}'.parseJSON().b"), "2");
}

TEST(SupportScript, KeepsExistingHelpers) {
    auto engine = ScriptEngine::Create();
    ASSERT_TRUE(engine);
    engine->AddCode("var mine = function(){ return 'mine'; }; Object.prototype.toJSONString = mine;"
                    "var nativeStringify = JSON.stringify;");
    ASSERT_TRUE(engine->AddCode(SupportScript()));
    EXPECT_EQ(engine->EvalText("({}).toJSONString()"), "mine");
    EXPECT_TRUE(engine->EvalTruth("JSON.stringify === nativeStringify"));
    EXPECT_TRUE(engine->EvalTruth("typeof Object.prototype.parseJSON === 'undefined'"));
}

// On an engine without JSON the script brings its own; it must write and
// read what the native one does.
class FallbackJson : public ::testing::Test {
protected:
    void SetUp() override {
        engine_ = ScriptEngine::Create();
        ASSERT_TRUE(engine_);
        ASSERT_TRUE(engine_->AddCode("var native = JSON; JSON = undefined;"));
        ASSERT_TRUE(engine_->AddCode(SupportScript()));
        ASSERT_TRUE(engine_->EvalTruth("JSON !== native && typeof JSON.parse === 'function'"));
    }
    std::shared_ptr<ScriptEngine> engine_;
};

TEST_F(FallbackJson, StringifyMatchesNative) {
    const char* values[] = {
        "1", "-2.5", "'plain'", "'q\"uote\\\\back\\nline\\ttab\\u0001'", "true", "null",
        "undefined", "NaN", "[]", "{}", "[1,'a',null,undefined,[2,[3]]]",
        "{a:1,b:'x',c:[true,false],d:{e:null},f:undefined,g:function(){}}",
        "new Number(3)", "new String('s')", "{toJSON:function(){return 'custom';}}",
        "[new Date(0)]", "'\\u4e2d\\u6587'",
    };
    for (const char* v : values) {
        SCOPED_TRACE(v);
        const std::string value = std::string("(") + v + ")";
        EXPECT_TRUE(engine_->EvalTruth("JSON.stringify" + value + " === native.stringify" + value));
        const std::string pretty = "(" + value + ", null, 2)";
        EXPECT_TRUE(engine_->EvalTruth("JSON.stringify" + pretty + " === native.stringify" + pretty));
    }
}

TEST_F(FallbackJson, StringifyUsesReplacers) {
    EXPECT_EQ(engine_->EvalText("JSON.stringify({a:1,b:2,c:3}, ['c','a'])"), "{\"c\":3,\"a\":1}");
    EXPECT_EQ(engine_->EvalText(
                  "JSON.stringify({a:1,b:'x'}, function(k,v){ return typeof v === 'number' ? v*10 : v; })"),
              "{\"a\":10,\"b\":\"x\"}");
}

TEST_F(FallbackJson, StringifyRefusesCycles) {
    EXPECT_EQ(engine_->Eval("var o={}; o.self=o; JSON.stringify(o)").type, ScriptValue::Type::Failed);
}

TEST_F(FallbackJson, ParseReadsWhatNativeWrites) {
    const char* texts[] = {
        R"({"a":[1,-2.5e3,0.25],"b":"x\"y\\z\/\n\u4e2d","c":{"d":null,"e":true,"f":false}})",
        "[]", "{}", " [ 1 , 2 ] ", "\"s\"", "0", "-0.5",
    };
    for (const char* t : texts) {
        SCOPED_TRACE(t);
        engine_->AddCode(std::string("var text = ") + JsQuoted(t) + ";");
        EXPECT_TRUE(engine_->EvalTruth(
            "native.stringify(JSON.parse(text)) === native.stringify(native.parse(text))"));
    }
}

TEST_F(FallbackJson, ParseRefusesWhatJsonForbids) {
    const char* texts[] = {
        "", "[1,]", "{'a':1}", "{a:1}", "[1 2]", "01", "[\"\\x41\"]", "[1]x", "tru", "\"a\nb\"",
        "[\"unterminated]", "{\"a\" 1}", "+1", "[.5]",
    };
    for (const char* t : texts) {
        SCOPED_TRACE(t);
        engine_->AddCode(std::string("var text = ") + JsQuoted(t) + ";");
        EXPECT_EQ(engine_->Eval("JSON.parse(text)").type, ScriptValue::Type::Failed);
        EXPECT_EQ(engine_->Eval("native.parse(text)").type, ScriptValue::Type::Failed);
    }
}

TEST_F(FallbackJson, ParseCallsTheReviver) {
    EXPECT_EQ(engine_->EvalText("JSON.parse('{\"a\":1,\"b\":[2,3]}', function(k,v){"
                                " return typeof v === 'number' ? v+1 : v; }).b[1]"),
              "4");
    EXPECT_EQ(engine_->EvalText("native.stringify(JSON.parse('{\"a\":1,\"b\":2}', function(k,v){"
                                " return k === 'a' ? undefined : v; }))"),
              "{\"b\":2}");
}

}  // namespace
}  // namespace lumigrab
