#pragma once
// The service's JSON endpoint, which answers where a result page no longer
// carries its picture array: its address, the request lines it wants, and
// the reading of its answer into rows. Also what a refusal looks like, on
// either kind of page.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "harvest/result_page.h"

namespace lumigrab {

// Results the endpoint gives per request; the offset of page i is i times it.
inline constexpr int kJsonPageSize = 30;

// origin + "/search/acjson?tn=resultjson_com&ipn=rj&word=" + UrlEncode(keyword)
// + "&pn=" + offset + "&rn=30&width=" + width + "&height=" + height, the
// filters as BuildResultPageUrl takes them (both "0" unless both given), then
// the JsonFilters that are set.
// The endpoint's own filters; the address carries only those that are set.
struct JsonFilters {
    int color = 0;      // "&ic=": red 1, yellow 2, green 4, teal 8, brown 12, blue 16, purple 32,
                        // pink 64, orange 256, black 512, white 1024, black and white 2048
    bool face = false;  // "&face=1": portraits
    enum class Kind { Any, Clipart, LineDrawing, Animated, Static } kind = Kind::Any;  // st=1, st=2, lm=6, lm=7
};
Text BuildJsonPageUrl(std::string_view origin, std::string_view keyword, std::int32_t pageIndex,
                      std::string_view width, std::string_view height, const JsonFilters& filters = {});

// The request lines the endpoint wants besides the session's cookies, as an
// extra-header block: the front page as Referer, a Chinese Accept-Language
// and a current desktop browser's User-Agent.
Text JsonPageHeaders(std::string_view origin);

// An address as the endpoint ciphers it ("ippr_z2C$q…") in the clear.
std::string DecodeCipheredAddress(std::string_view ciphered);

// What one answer of the endpoint gave.
struct JsonPageReading {
    bool isData = false;  // a JSON object with a "data" array
    // One record per element with an address, save name and state empty;
    // flagged unreadable, with none, when the array holds more than
    // kMaxPageElements elements, as a result page's would be.
    PictureArrayReading pictures;
    // The service's own words when it refused (UTF-8), as ShownWords shows them.
    std::optional<std::string> refusal;
};

// Reads the endpoint's body a value at a time, keeping only the fields of
// the record in hand and the rows made, so what it holds grows with the rows
// and not with the body (beside it, at most about as much again: the JSON
// reader keeps a run of brackets and white space until the next value).
// The body is JSON but for `\'`, which it may hold inside strings.
// Records without any address, like the empty object that ends the array,
// make no row. A field that cannot be read (bytes that are not UTF-8, a
// broken escape, a string over a MiB, a number no double holds) is left out
// of its record, and the rest is read; a size below 0 or over 2^31 - 1
// counts as unknown.
JsonPageReading ReadJsonPage(std::string_view body);

}  // namespace lumigrab
