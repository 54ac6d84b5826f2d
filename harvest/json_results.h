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

#include "port/picture_list.h"

namespace lumigrab {

// Results the endpoint gives per request; the offset of page i is i times it.
inline constexpr int kJsonPageSize = 30;

// origin + "/search/acjson?tn=resultjson_com&ipn=rj&word=" + UrlEncode(keyword)
// + "&pn=" + offset + "&rn=30&width=" + width + "&height=" + height, the
// filters as BuildResultPageUrl takes them (both "0" unless both given).
Text BuildJsonPageUrl(std::string_view origin, std::string_view keyword, std::int32_t pageIndex,
                      std::string_view width, std::string_view height);

// The request lines the endpoint wants besides the session's cookies, as an
// extra-header block: the front page as Referer, a Chinese Accept-Language
// and a current desktop browser's User-Agent.
Text JsonPageHeaders(std::string_view origin);

// An address as the endpoint ciphers it ("ippr_z2C$q…") in the clear.
std::string DecodeCipheredAddress(std::string_view ciphered);

// What one answer of the endpoint gave.
struct JsonPageReading {
    bool isData = false;               // a JSON object with a "data" array
    std::vector<ImageRecord> records;  // one per record with an address; save name and state empty
    std::optional<std::string> refusal;  // the service's own words when it refused (UTF-8)
};

// Reads the endpoint's body. It is JSON but for `\'`, which it may hold
// inside strings and which is mended first. Records without any address,
// like the empty object that ends the array, make no row.
JsonPageReading ReadJsonPage(std::string_view body);

}  // namespace lumigrab
