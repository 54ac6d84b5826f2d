#include "harvest/result_page.h"

#include <cstring>
#include <string>

#include "harvest/random_letters.h"
#include "json/json_document.h"
#include "text/encoding.h"

namespace lumigrab {

Text PageOffset(std::int32_t pageIndex) {
    if (pageIndex == 0) return "0";
    // 64-bit so a deep page index cannot overflow into a negative offset.
    return std::to_string(static_cast<std::int64_t>(pageIndex) * 20);
}

Text BuildResultPageUrl(std::string_view origin, std::string_view keyword,
                        std::string_view offset, std::string_view width,
                        std::string_view height) {
    if (width.empty() || height.empty()) {
        width = "0";
        height = "0";
    }
    if (offset.empty()) offset = "0";
    return ConcatText(origin, "/search/flip?tn=baiduimage&ie=utf-8&word=", UrlEncode(keyword),
                      "&pn=", offset, "&gsm=0&ct=&ic=0&lm=-1&width=", width,
                      "&height=", height);
}

Text CutPictureArray(const Bytes& body) {
    const char* data = reinterpret_cast<const char*>(body.data());
    const void* zero = body.empty() ? nullptr : std::memchr(data, 0, body.size());
    const std::size_t length =
        zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - data) : body.size();
    const Text page = Utf8ToGbk(std::string_view(data, length));
    return TextBetween(page, kPictureArrayStart, kPictureArrayEnd);
}

std::vector<ImageRecord> ReadPictureArray(std::string_view arrayText) {
    std::vector<ImageRecord> records;
    JsonDocument document;
    document.Parse(arrayText);
    const int count = document.Count();
    for (int j = 0; j < count; ++j) {
        const std::string element = "[" + std::to_string(j) + "]";
        ImageRecord record;
        record.address = document.GetText(element + ".objURL");
        if (record.address.empty()) continue;
        record.width = document.GetText(element + ".width");
        record.height = document.GetText(element + ".height");
        record.thumbnail = document.GetText(element + ".thumbURL");
        records.push_back(std::move(record));
    }
    document.Clear();
    return records;
}

Text ComposeSaveName(std::string_view pictureName, std::string_view letterCountText,
                     int position) {
    return ConcatText(pictureName, RandomLetters(TextToInteger(letterCountText), 2), " ",
                      std::to_string(position));
}

}  // namespace lumigrab
