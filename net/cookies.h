#pragma once
#include <string_view>

#include "text/text.h"

namespace lumigrab {

// Merges the cookies a response set into the caller's cookie text. On return
// `cookies` holds the merged text ("a=1; b=2"), `newCookies` its own text with
// every space removed; a copy of the merged text is returned.
Text MergeCookies(Text& cookies, Text& newCookies);
Text CookieName(std::string_view pair);
Text DedupePieces(std::string_view text, std::string_view separator);

}  // namespace lumigrab
