// The literal check decides what reaches the script engine, so it sees every
// byte a result page can hold. Checks it on the input in both encodings, then
// loads whatever it lets through and reads it back the way a page worker does.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/json_document.h"
#include "json/literal_check.h"

namespace {

bool IsAscii(std::string_view s) {
    return std::none_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

// A verdict never points past the text, and a refusal says where it stopped.
void CheckVerdict(std::string_view text, const lumigrab::LiteralVerdict& verdict) {
    if (!verdict.ok() && verdict.errorOffset > text.size()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumigrab;
    // Real pages carry a few hundred kilobytes; beyond 64 KiB the fuzzer only
    // measures Duktape's speed.
    if (size > 64 * 1024) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const LiteralVerdict gbk = CheckLiteral(text, LiteralEncoding::Gbk);
    const LiteralVerdict utf8 = CheckLiteral(text, LiteralEncoding::Utf8);
    CheckVerdict(text, gbk);
    CheckVerdict(text, utf8);
    // A shallow limit can only refuse more.
    const LiteralVerdict shallow = CheckLiteral(text, LiteralEncoding::Gbk, 2);
    if (shallow.ok() && !gbk.ok()) std::abort();
    // Both encodings agree on ASCII text: no byte of it starts a pair.
    if (IsAscii(text) && gbk.kind != utf8.kind) std::abort();

    // Setting up an engine costs far more than the check; refused text only
    // needs to be shown not to load.
    if (!gbk.ok() && (size % 16) != 0) return 0;

    JsonDocument document;
    const bool parsed = document.Parse(text);
    // Nothing the check refuses may reach the engine.
    if (parsed && !gbk.ok()) std::abort();
    // An accepted ASCII array or object is always loaded (the input is far
    // below the engine's budget).
    if (IsAscii(text) && (gbk.kind == LiteralKind::Array || gbk.kind == LiteralKind::Object) &&
        !parsed)
        std::abort();
    if (!parsed) {
        if (document.Count() > 0) std::abort();
        return 0;
    }

    // The engine must see the value the check saw: an object or array stays
    // one (the whole value reads as type 4 either way), a primitive never
    // turns into a string or an object.
    const int type = document.TypeOf("");
    if (gbk.kind == LiteralKind::Array || gbk.kind == LiteralKind::Object) {
        if (type != 4) std::abort();
    } else if (type == 4 || type == 5 || type == 6) {
        std::abort();
    }

    const int count = document.Count();
    const int reads = std::min(count, 64);
    for (int j = 0; j < reads; ++j) {
        const std::string element = "[" + std::to_string(j) + "]";
        (void)document.GetText(element + ".objURL");
        (void)document.GetText(element + ".width");
        (void)document.GetText(element, true);
    }
    (void)document.GetText("[0]");

    // What the engine writes back out is plain JSON, so it must load again
    // and come out the same: a check that refuses or shifts its own output
    // would lose a page.
    const Text written = document.ToText();
    if ((gbk.kind == LiteralKind::Array || gbk.kind == LiteralKind::Object) && !written.empty()) {
        JsonDocument again;
        if (!again.Parse(written) || again.ToText() != written) std::abort();
    }
    document.Clear();
    if (document.Count() != 0) std::abort();
    return 0;
}
