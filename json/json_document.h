#pragma once
// A JSON value held in a JavaScript engine (Duktape) in the script variable
// "da", read and changed through short script texts built from member paths:
// a path is written after the variable name, so '[3].objURL' or 'data.items'.
// Every failed evaluation yields the empty value of its result: empty text,
// 0, false.
//
// Parse only evaluates texts that are pure data literals (see
// literal_check.h); anything else leaves the variable null. The other
// operations run the caller's texts as they are: keys, paths and values must
// come from the program, never from the network.
//
// A document belongs to one thread. Clone shares the engine: changes through
// one copy are seen through the other until one of them parses again.
#include <cstddef>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "text/text.h"

namespace lumigrab {

class ScriptEngine;

class JsonDocument {
public:
    JsonDocument();  // variable "da" holding {} in a fresh engine
    ~JsonDocument();
    JsonDocument(const JsonDocument&) = delete;
    JsonDocument& operator=(const JsonDocument&) = delete;

    std::unique_ptr<JsonDocument> Clone() const;
    // A fresh engine with the support script loaded and the variable set to {}.
    void Initialize();
    // True when the variable ends up neither null nor undefined.
    bool Parse(std::string_view jsonText);
    Text ToText();
    void SetMember(std::string_view key, std::string_view value, bool asJson = false);
    void SetMemberJson(std::string_view key, std::string_view value);
    void SetMemberNumber(std::string_view key, double number);
    double GetNumber(std::string_view path);
    Text GetMemberJson(std::string_view key);
    Text GetText(std::string_view path, bool asJson = false);
    std::unique_ptr<JsonDocument> GetObject(std::string_view path);
    // Elements of an array, own members of an object; 0 or less otherwise.
    int Count(std::string_view path = {});
    void Push(std::string_view value, std::string_view path = {}, bool raw = false);
    std::unique_ptr<JsonDocument> GetElementObject(int index, std::string_view path = {});
    Text GetElementText(int index, std::string_view path = {}, bool asJson = false);
    // GetText("[index].member") for each of `members` (plain property names),
    // in one call rather than a script each. With Count() and Clear() it is
    // a read that lets the next Parse reuse the engine: a reader of page
    // after page pays for one engine, not one a page.
    std::vector<Text> GetElementMemberTexts(int index, std::span<const std::string_view> members);
    void SetElement(int index, std::string_view value, bool raw = false);
    void RemoveElement(int index);
    void DeleteMember(std::string_view key);
    // 0 or 4: an empty object; 5: an empty array; other kinds change nothing.
    void Reset(int kind);
    void SetValue(std::string_view value, bool raw = false);
    bool HasMember(std::string_view key);
    int MemberNames(TextList& names, std::string_view path = {});
    // 0 null or undefined, 2 number, 4 object, 5 array, 6 string, -1 other.
    int TypeOf(std::string_view path);
    void Clear();  // the variable becomes {}

    const Text& VariableName() const { return variableName_; }
    // False when the engine could not be created or died; every evaluation
    // then yields its failure value until Parse or Initialize replaces it.
    bool HasLiveEngine() const;
    // Whether two documents share one engine (Clone).
    bool SharesEngineWith(const JsonDocument& other) const;

    // Byte budget of each engine this document creates from now on.
    void SetEngineBudget(std::size_t bytes) { budget_ = bytes; }

private:
    struct NoEngine {};
    explicit JsonDocument(NoEngine);

    Text Target(std::string_view path) const;         // N, or N.P
    Text BracketTarget(std::string_view path) const;  // N[..] paths joined bare, others with "."
    Text EvalText(std::string_view script);
    double EvalNumber(std::string_view script);
    bool EvalTruth(std::string_view script);
    void Run(std::string_view script);
    std::unique_ptr<JsonDocument> DocumentFromJson(const Text& json);

    Text variableName_;
    std::shared_ptr<ScriptEngine> engine_;
    std::size_t budget_;
    // While the engine's count of runs is this, it holds nothing but the
    // support script and data parsed into the variable, and the next Parse
    // may take it as it is.
    unsigned long cleanRuns_ = 0;
    void StayClean(unsigned long runsBefore);
};

}  // namespace lumigrab
