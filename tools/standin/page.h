#pragma once
// Result pages of the stand-in: reading the flip query and writing the page.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/standin/standin.h"

namespace lumigrab::standin::detail {

// "%41" → "A", "+" → " "; a "%" not followed by two hex digits stays as is.
std::string PercentDecode(std::string_view text);
// Invalid UTF-8 sequences become U+FFFD, so the page stays valid UTF-8
// whatever bytes the client sent.
std::string SanitizeUtf8(std::string_view text);
// The content of a JavaScript string literal in the service's style:
// "\/" for "/", "\'" for "'", and ";" "<" ">" and line separators as \uXXXX so
// that no value can end the array early or open a tag.
std::string JsString(std::string_view utf8);
std::string HtmlEscape(std::string_view utf8);

// Value of a query member ("" when absent); the first one wins.
std::optional<std::string> QueryValue(std::string_view query, std::string_view name);
// Leading decimal digits as a non-negative number, capped; 0 when none.
long long LeadingNumber(std::string_view text, long long cap);

struct FlipRequest {
    std::string keyword;  // decoded UTF-8
    int pn = 0;
    int width = 0;
    int height = 0;
};
FlipRequest ParseFlipQuery(std::string_view query);

enum class Special {
    None,
    NoMarker,
    Truncated,
    Cutoff,
    Empty,
    EmptyArray,
    Garbage,
    Duplicates,
    Stall,
    Refused,
    Gone,        // the result page sends the client to the script-rendered app
    GoneVerify,  // gone, and the JSON endpoint sends it to the verification page
    GoneAntiFlag,  // gone, and the JSON endpoint refuses every request
    Forbidden,   // 403 to result requests
    TooMany,     // 429 to result requests
};

struct KeywordMode {
    Special special = Special::None;
    int total = 0;
    int pagesAtOnce = 0;  // standin-all-pages-P: P
};
KeywordMode ModeForKeyword(std::string_view keyword, int defaultTotal);

struct PageSettings {
    std::string base;  // http://127.0.0.1:PORT
    int defaultTotal = 75;
    std::vector<PictureKind> kindCycle;
    bool elementVariants = true;
};

std::string PicturePath(PictureKind kind, int id, bool thumbnail, int w, int h);
std::vector<PageElement> ListElements(const PageSettings& settings, const FlipRequest& request);

// The page body; nullopt for the stalling keyword.
std::optional<std::string> BuildFlipPage(const PageSettings& settings,
                                         const FlipRequest& request);

// The JSON endpoint's answer for the request's keyword and pn: the records
// of the same result set as the result page, objURL and fromURL ciphered as
// the service ciphers them, replaceUrl with the address in the clear on every
// other record, "\'" inside strings, and a final empty object.
std::string BuildJsonPage(const PageSettings& settings, const FlipRequest& request);

// The address cipher of the service (the inverse of what clients decode).
std::string CipherAddress(std::string_view clear);

// The script-rendered app the result page now sends clients to: HTML and
// script, and no picture array.
std::string AppPage(std::string_view keyword);

}  // namespace lumigrab::standin::detail
