#include "harvest/result_page.h"

#include <charconv>
#include <cstring>
#include <string>

#include "harvest/random_letters.h"
#include "harvest/title.h"
#include "json/json_document.h"
#include "json/literal_check.h"
#include "text/encoding.h"

namespace lumigrab {

Text PageOffset(std::int32_t pageIndex) {
    if (pageIndex == 0) return "0";
    // 64-bit so a deep page index cannot overflow into a negative offset.
    return std::to_string(static_cast<std::int64_t>(pageIndex) * 20);
}

Text PageIndexOfOffset(std::string_view offset) {
    std::int64_t value = 0;
    std::from_chars(offset.data(), offset.data() + offset.size(), value);
    return std::to_string(value / 20);
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

namespace {

// A batch stays far inside the engine's heap: parsing takes a few dozen
// times the text's size at worst (small objects), reading back much less.
constexpr std::size_t kBatchBytes = std::size_t{256} << 10;
constexpr std::size_t kBatchElements = 500;

// The records of the first `count` elements that `document` holds, in order.
void ReadRecords(JsonDocument& document, int count, std::vector<ImageRecord>& records) {
    static constexpr std::string_view kMembers[] = {"objURL", "width", "height", "thumbURL", "fromURL",
                                                    "fromPageTitle"};
    for (int j = 0; j < count; ++j) {
        std::vector<Text> texts = document.GetElementMemberTexts(j, kMembers);
        ImageRecord record;
        record.address = std::move(texts[0]);
        if (record.address.empty()) continue;
        record.width = std::move(texts[1]);
        record.height = std::move(texts[2]);
        record.thumbnail = std::move(texts[3]);
        record.sourcePage = SourcePageAddress(texts[4]);
        // The title is cleaned as the service wrote it, in UTF-8.
        record.title = Utf8ToGbk(PlainTitle(GbkToUtf8(texts[5])));
        records.push_back(std::move(record));
    }
}

// Reads one batch, the text of an array of `size` elements; false when the
// engine gave out on the way (nothing read from it can be trusted then).
bool ReadBatch(JsonDocument& document, const std::string& batch, std::size_t size,
               std::vector<ImageRecord>& records) {
    if (!document.Parse(batch)) return false;
    const int count = document.Count();
    if (count < 0 || static_cast<std::size_t>(count) != size) return false;
    ReadRecords(document, count, records);
    return document.HasLiveEngine();
}

// Anything but an array: one document for the whole text, as today's pages
// never need more (data with numbered members still gives its rows).
PictureArrayReading ReadWhole(std::string_view text, LiteralKind kind) {
    PictureArrayReading reading;
    JsonDocument document;
    const bool parsed = document.Parse(text);
    ReadRecords(document, document.Count(), reading.records);
    if (kind == LiteralKind::Object && (!parsed || !document.HasLiveEngine())) {
        reading.records.clear();
        reading.unreadable = true;
    }
    document.Clear();
    return reading;
}

PictureArrayReading Unreadable() {
    PictureArrayReading reading;
    reading.unreadable = true;
    return reading;
}

// As the worker keeps its document, it is let go of what it holds.
PictureArrayReading Unreadable(JsonDocument& document) {
    document.Clear();
    return Unreadable();
}

}  // namespace

PictureArrayReading ReadPictureArray(std::string_view arrayText) {
    std::vector<std::string_view> elements;
    const LiteralVerdict verdict = SplitArrayLiteral(arrayText, elements, kMaxPageElements);
    if (verdict.kind != LiteralKind::Array) return ReadWhole(arrayText, verdict.kind);
    if (elements.size() > kMaxPageElements) return Unreadable();

    // One document over the whole array reads the indexes below its Count(),
    // which passes over holes; the elements after that many are never read.
    std::size_t count = 0;
    for (std::string_view element : elements) count += !element.empty();
    elements.resize(count);

    PictureArrayReading reading;
    // Setting up an engine costs more than reading a page with it; a worker
    // keeps one for every page it reads (parsing and reading leave it as
    // good as new).
    thread_local JsonDocument document;
    std::string batch;
    std::size_t inBatch = 0;
    for (std::string_view element : elements) {
        if (element.empty()) continue;  // a hole holds no picture
        if (inBatch > 0 &&
            (batch.size() + element.size() >= kBatchBytes || inBatch == kBatchElements)) {
            batch += ']';
            if (!ReadBatch(document, batch, inBatch, reading.records)) return Unreadable(document);
            batch.clear();
            inBatch = 0;
        }
        batch += inBatch == 0 ? '[' : ',';
        batch += element;
        ++inBatch;
    }
    if (inBatch > 0) {
        batch += ']';
        if (!ReadBatch(document, batch, inBatch, reading.records)) return Unreadable(document);
    }
    document.Clear();
    return reading;
}

Text ComposeSaveName(std::string_view pictureName, std::string_view letterCountText,
                     int position) {
    return ConcatText(pictureName, RandomLetters(TextToInteger(letterCountText), 2), " ",
                      std::to_string(position));
}

}  // namespace lumigrab
