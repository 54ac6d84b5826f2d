#include "json/json_document.h"

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "json/literal_check.h"
#include "json/number_text.h"
#include "json/script_engine.h"
#include "json/support_script.h"

namespace lumigrab {
namespace {

Text Quote(bool raw) { return raw ? Text() : Text("'"); }

Text Index(int index) { return std::to_string(index); }

int TruncateToInt(double value) {
    if (std::isnan(value)) return 0;
    if (value >= static_cast<double>(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (value <= static_cast<double>(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return static_cast<int>(value);  // toward zero
}

bool IsAscii(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

// Only pure data goes into the engine: the literal in the engine's encoding,
// or nothing. A string at the top is refused too, since eval would run its
// contents as a program.
std::optional<std::string> EvaluableLiteral(std::string_view text) {
    const LiteralVerdict gbk = CheckLiteral(text, LiteralEncoding::Gbk);
    if (!gbk.ok() || gbk.kind == LiteralKind::String) return std::nullopt;
    if (IsAscii(text)) return std::string(text);
    // The engine reads the converted text; check that one as well, so that no
    // conversion quirk (an unmapped pair, a stray byte) can move the end of a
    // string.
    std::string converted = ScriptEngine::EngineText(text);
    const LiteralVerdict utf8 = CheckLiteral(converted, LiteralEncoding::Utf8);
    if (utf8.kind != gbk.kind) return std::nullopt;
    return converted;
}

}  // namespace

JsonDocument::JsonDocument(NoEngine) : budget_(ScriptEngine::kDefaultBudget) {}

JsonDocument::JsonDocument() : JsonDocument(NoEngine{}) {
    variableName_ = "da";
    Initialize();
}

JsonDocument::~JsonDocument() = default;

bool JsonDocument::HasLiveEngine() const { return engine_ && engine_->Alive(); }

bool JsonDocument::SharesEngineWith(const JsonDocument& other) const {
    return engine_ && engine_ == other.engine_;
}

std::unique_ptr<JsonDocument> JsonDocument::Clone() const {
    std::unique_ptr<JsonDocument> copy(new JsonDocument(NoEngine{}));
    copy->variableName_ = variableName_;
    copy->engine_ = engine_;
    copy->budget_ = budget_;
    return copy;
}

void JsonDocument::Initialize() {
    engine_ = ScriptEngine::Create(budget_);
    if (!engine_) return;
    engine_->AddCode(SupportScript());
    Run("var " + variableName_ + "={}");
    cleanRuns_ = engine_->Runs();
}

void JsonDocument::StayClean(unsigned long runsBefore) {
    if (engine_ && runsBefore == cleanRuns_) cleanRuns_ = engine_->Runs();
}

bool JsonDocument::Parse(std::string_view jsonText) {
    // Every parse starts from a fresh engine. One that only parses and reads
    // touched since it was set up, and that no clone shares, is as good as
    // one: data in the variable is all that sets it apart.
    const bool fresh = engine_ && engine_.use_count() == 1 && engine_->Alive() &&
                       engine_->Budget() == budget_ &&
                       engine_->Runs() == cleanRuns_;
    if (engine_ && !fresh) {
        engine_.reset();
        Initialize();
    }
    if (!engine_) return false;
    // Everything below puts data into the variable and nothing else.
    struct Clean {
        JsonDocument& document;
        ~Clean() {
            if (document.engine_) document.cleanRuns_ = document.engine_->Runs();
        }
    } clean{*this};
    Run("var " + variableName_ + "=null");
    // The engine needs the text's size at least twice over (its compiler's
    // buffer and the values); refuse what cannot fit before doing any work.
    if (jsonText.size() > budget_ / 2) return false;
    const std::optional<std::string> literal = EvaluableLiteral(jsonText);
    if (!literal) return false;
    const std::string variable = ScriptEngine::EngineText(variableName_);
    const std::optional<std::string> json = LiteralAsStrictJson(*literal);
    if (!json || !engine_->SetGlobalFromJson(variable, *json))
        engine_->AddEngineCode("var " + variable + "=eval(" + *literal + ")");
    return EvalTruth("null !=" + variableName_);
}

Text JsonDocument::ToText() { return EvalText("JSON.stringify(" + variableName_ + ")"); }

void JsonDocument::SetMember(std::string_view key, std::string_view value, bool asJson) {
    if (asJson) {
        SetMemberJson(key, value.empty() ? std::string_view("{}") : value);
        return;
    }
    Run(variableName_ + "." + Text(key) + "='" + Text(value) + "'");
}

void JsonDocument::SetMemberJson(std::string_view key, std::string_view value) {
    Run(variableName_ + "." + Text(key) + "= eval(" + Text(value) + ")");
}

void JsonDocument::SetMemberNumber(std::string_view key, double number) {
    Run(variableName_ + "." + Text(key) + "=" + NumberText(number));
}

double JsonDocument::GetNumber(std::string_view path) {
    return EvalNumber(variableName_ + "." + Text(path));
}

Text JsonDocument::GetMemberJson(std::string_view key) {
    return EvalText("JSON.stringify(" + variableName_ + "." + Text(key) + ")");
}

Text JsonDocument::GetText(std::string_view path, bool asJson) {
    if (asJson) return EvalText("JSON.stringify(" + BracketTarget(path) + ")");
    if (!engine_) return {};
    if (TypeOf(path) == 2) return NumberText(GetNumber(path));
    return EvalText(BracketTarget(path));
}

std::unique_ptr<JsonDocument> JsonDocument::GetObject(std::string_view path) {
    return DocumentFromJson(EvalText("JSON.stringify(" + BracketTarget(path) + ")"));
}

int JsonDocument::Count(std::string_view path) {
    const unsigned long before = engine_ ? engine_->Runs() : 0;
    const Text target = path.empty() ? variableName_ : BracketTarget(path);
    const int count = TruncateToInt(EvalNumber("get__count(" + target + ")"));
    // The counter's loop variable is left behind as a global, which no
    // text of ours reads.
    if (path.empty()) StayClean(before);
    return count;
}

void JsonDocument::Push(std::string_view value, std::string_view path, bool raw) {
    const Text t = Target(path);
    const Text q = Quote(raw);
    Run("if (Object.prototype.toString.call(" + t + ") != '[object Array]') { " + t +
        "=new Array();} " + t + ".push(" + q + Text(value) + q + ")");
}

std::unique_ptr<JsonDocument> JsonDocument::GetElementObject(int index, std::string_view path) {
    return DocumentFromJson(
        EvalText("JSON.stringify(" + Target(path) + "[" + Index(index) + "])"));
}

Text JsonDocument::GetElementText(int index, std::string_view path, bool asJson) {
    const Text element = Target(path) + "[" + Index(index) + "]";
    return EvalText(asJson ? "JSON.stringify(" + element + ")" : element);
}

std::vector<Text> JsonDocument::GetElementMemberTexts(int index, std::span<const std::string_view> members) {
    std::vector<Text> texts(members.size());
    if (!engine_ || index < 0) return texts;
    const unsigned long before = engine_->Runs();
    const std::vector<ScriptValue> values =
        engine_->ElementMembers(ScriptEngine::EngineText(variableName_), static_cast<std::uint32_t>(index), members);
    for (std::size_t i = 0; i < values.size(); ++i) texts[i] = ValueText(values[i]);
    StayClean(before);
    return texts;
}

void JsonDocument::SetElement(int index, std::string_view value, bool raw) {
    const Text q = Quote(raw);
    Run(variableName_ + "[" + Index(index) + "]=" + q + Text(value) + q);
}

void JsonDocument::RemoveElement(int index) {
    Run(variableName_ + ".splice(" + Index(index) + ",1)");
}

void JsonDocument::DeleteMember(std::string_view key) {
    EvalText("delete " + variableName_ + "." + Text(key));
}

void JsonDocument::Reset(int kind) {
    if (kind == 0 || kind == 4) Run("var " + variableName_ + "={}");
    else if (kind == 5) Run("var " + variableName_ + "=new Array()");
}

void JsonDocument::SetValue(std::string_view value, bool raw) {
    const Text q = Quote(raw);
    EvalTruth(variableName_ + "=" + q + Text(value) + q);
}

bool JsonDocument::HasMember(std::string_view key) {
    return EvalTruth(variableName_ + "." + Text(key) + " !=null");
}

int JsonDocument::MemberNames(TextList& names, std::string_view path) {
    Text listed = EvalText("var ary=''; for (var key in " + Target(path) +
                           ") {ary=ary+ key+','; }");
    // The support script's two helpers are inherited by everything.
    listed = ReplaceText(listed, "toJSONString,");
    listed = ReplaceText(listed, "parseJSON,");
    EvalText("ary=null");
    names = SplitText(listed, ",");
    return static_cast<int>(names.size());
}

int JsonDocument::TypeOf(std::string_view path) {
    const Text target = Target(path);
    if (EvalTruth(target + "==null")) return 0;
    const Text type = EvalText("typeof (" + target + ")");
    if (type == "string") return 6;
    if (type == "number") return 2;
    if (type == "object") return LeftText(GetText(path, true), 1) == "[" ? 5 : 4;
    return -1;
}

void JsonDocument::Clear() {
    const unsigned long before = engine_ ? engine_->Runs() : 0;
    Run(variableName_ + "={}");
    StayClean(before);
}

Text JsonDocument::Target(std::string_view path) const {
    if (path.empty()) return variableName_;
    return variableName_ + "." + Text(path);
}

Text JsonDocument::BracketTarget(std::string_view path) const {
    if (LeftText(path, 1) == "[") return variableName_ + Text(path);
    return variableName_ + "." + Text(path);
}

Text JsonDocument::EvalText(std::string_view script) {
    return engine_ ? engine_->EvalText(script) : Text();
}

double JsonDocument::EvalNumber(std::string_view script) {
    return engine_ ? engine_->EvalNumber(script) : 0;
}

bool JsonDocument::EvalTruth(std::string_view script) {
    return engine_ ? engine_->EvalTruth(script) : false;
}

void JsonDocument::Run(std::string_view script) {
    if (engine_) engine_->Eval(script);
}

std::unique_ptr<JsonDocument> JsonDocument::DocumentFromJson(const Text& json) {
    std::unique_ptr<JsonDocument> doc(new JsonDocument(NoEngine{}));
    doc->variableName_ = variableName_;
    doc->budget_ = budget_;
    doc->Initialize();
    doc->Parse(json);
    return doc;
}

}  // namespace lumigrab
