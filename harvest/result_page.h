#pragma once
// The pieces of one result page that need no thread or lock: its address, the
// cut of the picture array out of the body, the reading of that array, and the
// save name of a row.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "port/picture_list.h"

namespace lumigrab {

inline constexpr std::string_view kServiceOrigin = "https://image.baidu.com";
// The array of pictures follows this on a result page and ends before "});".
inline constexpr std::string_view kPictureArrayStart = R"("isNeedAsyncRequest":0,"data":)";
inline constexpr std::string_view kPictureArrayEnd = "});";

// "0" for the first page, else the decimal text of pageIndex * 20.
Text PageOffset(std::int32_t pageIndex);
// The page index an offset of PageOffset stands for, as decimal text; an
// empty offset (the first page) gives "0".
Text PageIndexOfOffset(std::string_view offset);

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

// Real pages list 30 pictures. An array with more elements than this (holes
// included) is not read: its rows would swamp the list and the memory.
inline constexpr std::size_t kMaxPageElements = 100000;

// What a page's picture array gave.
struct PictureArrayReading {
    // One record per element with a non-empty objURL, in element order; save
    // name and state are left empty.
    std::vector<ImageRecord> records;
    // The text is well-formed data, but it could not be taken in (more than
    // kMaxPageElements, an element too large for the script engine, or the
    // engine failed): no records, and the page must not pass for an empty
    // one. Text that is not data at all (empty, broken off, script) gives no
    // records and is not flagged.
    bool unreadable = false;
};

// Reads the array a bounded number of elements at a time, each batch in a
// fresh engine, so any size the page can carry is read at a cost that grows
// with its length. The records are those that one document holding the whole
// array would give, including its count: the elements read are the first
// Count() of them, and a hole counts towards the length but not the Count.
PictureArrayReading ReadPictureArray(std::string_view arrayText);

// pictureName + RandomLetters(k, 2) + " " + position, k read from the letter
// count box's text as a whole number (full-width digits count).
Text ComposeSaveName(std::string_view pictureName, std::string_view letterCountText,
                     int position);

}  // namespace lumigrab
