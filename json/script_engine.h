#pragma once
// One JavaScript heap (Duktape) with the three things a script host offers:
// run statements, evaluate a text and read the result back. Texts cross in
// both directions as system text (GBK); the engine itself speaks UTF-8.
//
// The heap lives inside a byte budget, so a huge text fails as an out-of-memory
// script error instead of taking the process down. A fatal error inside the
// engine (an error thrown with nothing to catch it, an internal assertion)
// does not end the process either: the engine is marked dead, its memory is
// handed back, and from then on every call yields its failure value.
//
// Scripts cannot be interrupted once running (the distribution's Duktape is
// built without an execution timeout hook), so untrusted text must be checked
// before it gets here; see literal_check.h.
//
// An engine belongs to the thread that uses it; it is not locked.
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include <duktape.h>

#include "text/text.h"

namespace lumigrab {

struct ScriptValue {
    enum class Type { Failed, Undefined, Null, Boolean, Number, String, Object };
    Type type = Type::Failed;
    bool truth = false;  // Boolean: the value; others: JavaScript's truth of it
    double number = 0;   // Number: the value; String: its numeric value, 0 when not a number
    Text text;           // String: the characters as system text
};

// Result conversions with the failure values: empty text, 0, false.
Text ValueText(const ScriptValue& value);
double ValueNumber(const ScriptValue& value);
bool ValueTruth(const ScriptValue& value);

class ScriptEngine {
public:
    static constexpr std::size_t kDefaultBudget = std::size_t{64} << 20;

    // nullptr when the heap cannot be created.
    static std::shared_ptr<ScriptEngine> Create(std::size_t budgetBytes = kDefaultBudget);
    ~ScriptEngine();
    ScriptEngine(const ScriptEngine&) = delete;
    ScriptEngine& operator=(const ScriptEngine&) = delete;

    bool Alive() const { return ctx_ != nullptr; }
    std::size_t Budget() const { return budget_; }
    std::size_t BytesInUse() const { return used_; }
    // Scripts run so far; lets a holder tell whether anything touched the heap.
    unsigned long Runs() const { return runs_; }

    // Runs statements; false on a script error or a dead engine.
    bool AddCode(std::string_view script);
    // The same for a script already in the engine's encoding (see EngineText).
    bool AddEngineCode(std::string_view utf8Script);
    // System text as the engine reads it: UTF-8, cut at the first zero byte.
    static std::string EngineText(std::string_view gbk);
    // Evaluates a program and returns its completion value.
    ScriptValue Eval(std::string_view script);

    // Sets the global `variable` to the value of `utf8Json`, decoded as
    // JSON.parse would; false, leaving it as it was, when the text is no
    // strict JSON or the engine is dead.
    bool SetGlobalFromJson(std::string_view variable, std::string_view utf8Json);
    // What Eval("variable[index].member") gives for each of `members` (plain
    // property names), read through the engine's own calls instead of
    // compiled scripts: a page's records are read a few hundred values at a
    // time, and a compile each costs more than the rest of the page.
    std::vector<ScriptValue> ElementMembers(std::string_view variable, std::uint32_t index,
                                            std::span<const std::string_view> members);

    Text EvalText(std::string_view script) { return ValueText(Eval(script)); }
    double EvalNumber(std::string_view script) { return ValueNumber(Eval(script)); }
    bool EvalTruth(std::string_view script) { return ValueTruth(Eval(script)); }

    // Native work on the heap under the fatal-error guard. `work` must not
    // keep objects with destructors alive across its engine calls: a fatal
    // error leaves it by a long jump. Returns false when the engine is dead
    // or died during the call.
    using NativeWork = void (*)(duk_context* ctx, void* arg);
    bool RunGuarded(NativeWork work, void* arg);

private:
    explicit ScriptEngine(std::size_t budgetBytes);

    struct Block;
    static void* Alloc(void* udata, duk_size_t size);
    static void* Realloc(void* udata, void* ptr, duk_size_t size);
    static void Free(void* udata, void* ptr);
    static void OnFatal(void* udata, const char* message);
    void Link(Block* block);
    void Unlink(Block* block);
    void ReleaseDeadHeap();

    duk_context* ctx_ = nullptr;
    std::size_t budget_;
    std::size_t used_ = 0;
    unsigned long runs_ = 0;
    Block* blocks_ = nullptr;             // every live allocation, for the dead-heap sweep
    std::jmp_buf* recovery_ = nullptr;    // where a fatal error lands
};

}  // namespace lumigrab
