#include "json/script_engine.h"

#include <cmath>
#include <cstdlib>
#include <new>

#include "json/number_text.h"
#include "text/encoding.h"

namespace lumigrab {

struct alignas(std::max_align_t) ScriptEngine::Block {
    Block* prev;
    Block* next;
    std::size_t size;  // payload bytes
};

namespace {

bool IsAscii(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

void AppendUtf8(std::string& out, unsigned long cp) {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
}

unsigned long ThreeByteValue(const unsigned char* p) {
    return ((p[0] & 0x0FUL) << 12) | ((p[1] & 0x3FUL) << 6) | (p[2] & 0x3FUL);
}

// The engine keeps characters beyond the BMP as two encoded surrogates
// (CESU-8); join such pairs so the code-page converter sees one character.
std::string JoinSurrogates(std::string_view cesu) {
    std::string out;
    out.reserve(cesu.size());
    const auto* p = reinterpret_cast<const unsigned char*>(cesu.data());
    const std::size_t n = cesu.size();
    std::size_t i = 0;
    while (i < n) {
        if (i + 6 <= n && p[i] == 0xED && (p[i + 1] & 0xF0) == 0xA0 && p[i + 3] == 0xED &&
            (p[i + 4] & 0xF0) == 0xB0) {
            const unsigned long hi = ThreeByteValue(p + i);
            const unsigned long lo = ThreeByteValue(p + i + 3);
            AppendUtf8(out, 0x10000 + ((hi - 0xD800) << 10) + (lo - 0xDC00));
            i += 6;
        } else {
            out.push_back(static_cast<char>(p[i]));
            ++i;
        }
    }
    return out;
}

Text FromEngineText(std::string_view cesu) {
    if (IsAscii(cesu)) return Text(cesu.substr(0, cesu.find('\0')));
    return Utf8ToGbk(JoinSurrogates(cesu));
}

// What a guarded evaluation leaves for the caller to copy out.
// What a value on the engine's stack is, taken while it is there: its
// characters stay valid until the caller pops it.
struct ValueSlot {
    duk_int_t type = DUK_TYPE_NONE;
    duk_bool_t truth = 0;
    double number = 0;
    const char* chars = nullptr;
    duk_size_t charCount = 0;
};

void FillSlot(duk_context* ctx, duk_idx_t at, ValueSlot& slot) {
    at = duk_normalize_index(ctx, at);
    slot.type = duk_get_type(ctx, at);
    duk_dup(ctx, at);  // coercions replace the value they work on
    slot.truth = duk_to_boolean(ctx, -1);
    duk_pop(ctx);
    if (slot.type == DUK_TYPE_NUMBER) {
        slot.number = duk_get_number(ctx, at);
    } else if (slot.type == DUK_TYPE_STRING) {
        slot.chars = duk_get_lstring(ctx, at, &slot.charCount);
        duk_dup(ctx, at);
        duk_to_number(ctx, -1);
        slot.number = duk_get_number(ctx, -1);
        duk_pop(ctx);
    }
}

ScriptValue ValueOfSlot(const ValueSlot& slot) {
    ScriptValue value;
    value.truth = slot.truth != 0;
    switch (slot.type) {
    case DUK_TYPE_UNDEFINED: value.type = ScriptValue::Type::Undefined; break;
    case DUK_TYPE_NULL: value.type = ScriptValue::Type::Null; break;
    case DUK_TYPE_BOOLEAN: value.type = ScriptValue::Type::Boolean; break;
    case DUK_TYPE_NUMBER:
        value.type = ScriptValue::Type::Number;
        value.number = slot.number;
        break;
    case DUK_TYPE_STRING:
        value.type = ScriptValue::Type::String;
        value.number = slot.number;
        value.text = FromEngineText(std::string_view(slot.chars, slot.charCount));
        break;
    default: value.type = ScriptValue::Type::Object; break;
    }
    return value;
}

// What a guarded evaluation leaves for the caller to copy out.
struct EvalJob {
    const char* source;
    std::size_t length;
    bool keepResult;
    duk_int_t rc = -1;
    ValueSlot result;
};

void EvalWork(duk_context* ctx, void* arg) {
    auto* job = static_cast<EvalJob*>(arg);
    job->rc = duk_peval_lstring(ctx, job->source, job->length);
    if (job->rc == 0 && job->keepResult) FillSlot(ctx, -1, job->result);
}

void PopAllWork(duk_context* ctx, void*) { duk_set_top(ctx, 0); }

// One element's members, read as a compiled "variable[index].member" would:
// a null or undefined variable or element fails them all.
struct MembersJob {
    std::string_view variable;
    std::uint32_t index;
    std::span<const std::string_view> members;
    ValueSlot* slots;
    duk_int_t rc;
};

duk_ret_t ReadMembers(duk_context* ctx, void* arg) {
    auto* job = static_cast<MembersJob*>(arg);
    duk_get_global_lstring(ctx, job->variable.data(), job->variable.size());
    duk_get_prop_index(ctx, -1, job->index);  // throws on a null or undefined variable
    if (duk_is_null_or_undefined(ctx, -1)) return duk_type_error(ctx, "no element");
    const duk_idx_t element = duk_get_top_index(ctx);
    for (std::string_view member : job->members) duk_get_prop_lstring(ctx, element, member.data(), member.size());
    return static_cast<duk_ret_t>(job->members.size());
}

void MembersWork(duk_context* ctx, void* arg) {
    auto* job = static_cast<MembersJob*>(arg);
    const auto count = static_cast<duk_idx_t>(job->members.size());
    job->rc = duk_safe_call(ctx, &ReadMembers, job, 0, count);
    if (job->rc != DUK_EXEC_SUCCESS) return;
    const duk_idx_t first = duk_get_top(ctx) - count;
    for (duk_idx_t i = 0; i < count; ++i) FillSlot(ctx, first + i, job->slots[i]);
}

struct JsonJob {
    std::string_view variable;
    std::string_view json;
    duk_int_t rc;
};

duk_ret_t DecodeJson(duk_context* ctx, void* arg) {
    auto* job = static_cast<JsonJob*>(arg);
    duk_push_lstring(ctx, job->json.data(), job->json.size());
    duk_json_decode(ctx, -1);  // throws on anything but strict JSON
    duk_put_global_lstring(ctx, job->variable.data(), job->variable.size());
    return 0;
}

void JsonWork(duk_context* ctx, void* arg) {
    auto* job = static_cast<JsonJob*>(arg);
    job->rc = duk_safe_call(ctx, &DecodeJson, job, 0, 0);
    duk_set_top(ctx, 0);
}

}  // namespace

Text ValueText(const ScriptValue& value) {
    switch (value.type) {
    case ScriptValue::Type::String: return value.text;
    case ScriptValue::Type::Number: return NumberText(value.number);
    case ScriptValue::Type::Boolean: return value.truth ? "true" : "false";
    default: return {};  // failures, undefined, null, objects
    }
}

double ValueNumber(const ScriptValue& value) {
    switch (value.type) {
    case ScriptValue::Type::Number: return value.number;
    case ScriptValue::Type::String: return std::isnan(value.number) ? 0 : value.number;
    case ScriptValue::Type::Boolean: return value.truth ? 1 : 0;
    default: return 0;
    }
}

bool ValueTruth(const ScriptValue& value) {
    return value.type != ScriptValue::Type::Failed && value.truth;
}

ScriptEngine::ScriptEngine(std::size_t budgetBytes) : budget_(budgetBytes) {}

std::shared_ptr<ScriptEngine> ScriptEngine::Create(std::size_t budgetBytes) {
    std::shared_ptr<ScriptEngine> engine(new (std::nothrow) ScriptEngine(budgetBytes));
    if (!engine) return nullptr;
    // A fatal error while the heap is being built lands here like any other.
    std::jmp_buf landing;
    engine->recovery_ = &landing;
    if (setjmp(landing) == 0) {
        engine->ctx_ = duk_create_heap(&ScriptEngine::Alloc, &ScriptEngine::Realloc,
                                       &ScriptEngine::Free, engine.get(), &ScriptEngine::OnFatal);
        engine->recovery_ = nullptr;
    } else {
        engine->recovery_ = nullptr;
        engine->ReleaseDeadHeap();
    }
    if (!engine->ctx_) return nullptr;
    return engine;
}

ScriptEngine::~ScriptEngine() {
    if (ctx_) {
        RunGuarded([](duk_context* ctx, void*) { duk_destroy_heap(ctx); }, nullptr);
        ctx_ = nullptr;
    }
    ReleaseDeadHeap();  // nothing left after a clean destroy
}

bool ScriptEngine::RunGuarded(NativeWork work, void* arg) {
    if (!ctx_) return false;
    std::jmp_buf landing;
    recovery_ = &landing;
    if (setjmp(landing) != 0) {
        recovery_ = nullptr;
        ReleaseDeadHeap();
        return false;
    }
    work(ctx_, arg);
    recovery_ = nullptr;
    return true;
}

std::string ScriptEngine::EngineText(std::string_view gbk) {
    if (IsAscii(gbk)) return std::string(gbk.substr(0, gbk.find('\0')));
    return GbkToUtf8(gbk);
}

bool ScriptEngine::AddCode(std::string_view script) { return AddEngineCode(EngineText(script)); }

bool ScriptEngine::AddEngineCode(std::string_view source) {
    EvalJob job{source.empty() ? "" : source.data(), source.size(), false, -1, {}};
    ++runs_;
    if (!RunGuarded(&EvalWork, &job)) return false;
    RunGuarded(&PopAllWork, nullptr);
    return job.rc == 0;
}

ScriptValue ScriptEngine::Eval(std::string_view script) {
    ScriptValue value;
    const std::string source = EngineText(script);
    EvalJob job{source.c_str(), source.size(), true, -1, {}};
    ++runs_;
    if (!RunGuarded(&EvalWork, &job)) return value;
    // The characters stay on the engine's stack until the pop below.
    if (job.rc == 0) value = ValueOfSlot(job.result);
    if (!RunGuarded(&PopAllWork, nullptr)) return ScriptValue{};
    return value;
}

bool ScriptEngine::SetGlobalFromJson(std::string_view variable, std::string_view utf8Json) {
    JsonJob job{variable, utf8Json, DUK_EXEC_ERROR};
    ++runs_;
    return RunGuarded(&JsonWork, &job) && job.rc == DUK_EXEC_SUCCESS;
}

std::vector<ScriptValue> ScriptEngine::ElementMembers(std::string_view variable, std::uint32_t index,
                                                      std::span<const std::string_view> members) {
    std::vector<ScriptValue> values(members.size());
    std::vector<ValueSlot> slots(members.size());
    MembersJob job{variable, index, members, slots.data(), DUK_EXEC_ERROR};
    ++runs_;
    if (!RunGuarded(&MembersWork, &job)) return values;
    if (job.rc == DUK_EXEC_SUCCESS)
        for (std::size_t i = 0; i < members.size(); ++i) values[i] = ValueOfSlot(slots[i]);
    if (!RunGuarded(&PopAllWork, nullptr)) return std::vector<ScriptValue>(members.size());
    return values;
}

void ScriptEngine::Link(Block* block) {
    block->prev = nullptr;
    block->next = blocks_;
    if (blocks_) blocks_->prev = block;
    blocks_ = block;
    used_ += sizeof(Block) + block->size;
}

void ScriptEngine::Unlink(Block* block) {
    if (block->prev) block->prev->next = block->next;
    else blocks_ = block->next;
    if (block->next) block->next->prev = block->prev;
    used_ -= sizeof(Block) + block->size;
}

void* ScriptEngine::Alloc(void* udata, duk_size_t size) {
    auto* self = static_cast<ScriptEngine*>(udata);
    if (size == 0) return nullptr;
    if (size > self->budget_ || self->used_ + sizeof(Block) + size > self->budget_) return nullptr;
    auto* block = static_cast<Block*>(std::malloc(sizeof(Block) + size));
    if (!block) return nullptr;
    block->size = size;
    self->Link(block);
    return block + 1;
}

void* ScriptEngine::Realloc(void* udata, void* ptr, duk_size_t size) {
    auto* self = static_cast<ScriptEngine*>(udata);
    if (!ptr) return Alloc(udata, size);
    if (size == 0) {
        Free(udata, ptr);
        return nullptr;
    }
    Block* block = static_cast<Block*>(ptr) - 1;
    const std::size_t others = self->used_ - sizeof(Block) - block->size;
    if (size > self->budget_ || others + sizeof(Block) + size > self->budget_) return nullptr;
    self->Unlink(block);
    auto* moved = static_cast<Block*>(std::realloc(block, sizeof(Block) + size));
    if (!moved) {
        self->Link(block);  // the old block is untouched on failure
        return nullptr;
    }
    moved->size = size;
    self->Link(moved);
    return moved + 1;
}

void ScriptEngine::Free(void* udata, void* ptr) {
    if (!ptr) return;
    auto* self = static_cast<ScriptEngine*>(udata);
    Block* block = static_cast<Block*>(ptr) - 1;
    self->Unlink(block);
    std::free(block);
}

void ScriptEngine::OnFatal(void* udata, const char*) {
    auto* self = static_cast<ScriptEngine*>(udata);
    // Every call into the heap runs under RunGuarded (or Create), so a landing
    // point is always set; the heap is left as it is and swept afterwards.
    if (self && self->recovery_) std::longjmp(*self->recovery_, 1);
    std::abort();  // unreachable while the rule above holds
}

// After a fatal error the heap's own bookkeeping cannot be trusted, but ours
// can: every block it ever got is still on our list.
void ScriptEngine::ReleaseDeadHeap() {
    ctx_ = nullptr;
    while (blocks_) {
        Block* block = blocks_;
        blocks_ = block->next;
        std::free(block);
    }
    used_ = 0;
}

}  // namespace lumigrab
