#pragma once
// Conversions between system text (code page 936, always, whatever the
// machine's locale) and UTF-8. None of them fails: invalid input is replaced,
// a character with no GBK form becomes "?", and invisible ones (format
// characters such as U+200B and U+FEFF, variation selectors) are left out.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "text/text.h"

namespace lumigrab {

std::string GbkToUtf8(std::string_view gbk);
Text Utf8ToGbk(std::string_view utf8);
// Every byte of the UTF-8 form as "%XX", upper-case hex; nothing left bare.
std::string UrlEncode(std::string_view gbk);

// The characters of `utf8` that Utf8ToGbk turns into "?" (each once, in order
// of appearance); empty when it keeps every character but the invisible ones
// it leaves out. Invalid UTF-8 shows up as U+FFFD. Lets a front end refuse
// such text instead of working on its "?" form.
std::u32string CharactersWithoutGbk(std::string_view utf8);

// Characters named the way system text can show them, by code point:
// "U+1F600 U+00E9", at most `limit` of them, then " ..." when there are more.
Text CodePointNames(std::u32string_view characters, std::size_t limit = 16);

// Appends the UTF-8 form of one code point (no checks: the caller has one).
void AppendUtf8(std::string& out, char32_t c);

// The character of UTF-8 text at `at`, which moves past it; nullopt, and
// `at` one byte on, when the byte there starts no well-formed character
// (a stray continuation byte, an overlong form, a surrogate, a value past
// U+10FFFF, or a sequence cut off). `at` must be inside `text`.
std::optional<char32_t> NextUtf8Character(std::string_view text, std::size_t& at);

// System text from a UTF-8 literal in our sources: Gbk("请先输入图片名称").
inline Text Gbk(std::string_view utf8) { return Utf8ToGbk(utf8); }

}  // namespace lumigrab
