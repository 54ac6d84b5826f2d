#pragma once
// The pieces of one result page that need no thread or lock: its address, the
// cut of the picture array out of the body, the reading of that array, and the
// save name of a row.
#include <cstdint>
#include <string_view>
#include <vector>

#include "harvest/image_record.h"

namespace lumigrab {

inline constexpr std::string_view kServiceOrigin = "https://image.baidu.com";
// The array of pictures follows this on a result page and ends before "});".
inline constexpr std::string_view kPictureArrayStart = R"("isNeedAsyncRequest":0,"data":)";
inline constexpr std::string_view kPictureArrayEnd = "});";

// "0" for the first page, else the decimal text of pageIndex * 20.
Text PageOffset(std::int32_t pageIndex);

// origin + "/search/flip?tn=baiduimage&ie=utf-8&word=" + UrlEncode(keyword) +
// "&pn=" + offset + "&gsm=0&ct=&ic=0&lm=-1&width=" + width + "&height=" + height.
// An empty width or height makes both "0"; an empty offset becomes "0". The
// keyword is encoded as given (the page worker trims it first); the filters and
// the offset go in as typed.
Text BuildResultPageUrl(std::string_view origin, std::string_view keyword,
                        std::string_view offset, std::string_view width,
                        std::string_view height);

// The body up to its first zero byte, as system text, cut between the array's
// two markers; empty when either marker is missing.
Text CutPictureArray(const Bytes& body);

// One record per element with a non-empty objURL, in element order; save name
// and state are left empty. Text that is not an array gives no records.
std::vector<ImageRecord> ReadPictureArray(std::string_view arrayText);

// pictureName + RandomLetters(k, 2) + " " + position, k read from the letter
// count box's text as a whole number (full-width digits count).
Text ComposeSaveName(std::string_view pictureName, std::string_view letterCountText,
                     int position);

}  // namespace lumigrab
