#include "harvest/json_results.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <iterator>
#include <limits>
#include <utility>

#include <nlohmann/json.hpp>

#include "harvest/service.h"
#include "harvest/title.h"
#include "json/number_text.h"
#include "text/encoding.h"

namespace lumigrab {
namespace {

using Json = nlohmann::json;

// No field of a record comes near this; a string that goes past it cannot
// be read, and no more of it is held.
constexpr std::size_t kMaxFieldBytes = std::size_t{1} << 20;
// Sizes beyond this are no picture's.
constexpr std::int64_t kMaxSize = std::numeric_limits<std::int32_t>::max();
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool InNumber(char c) { return IsDigit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E'; }

int HexValue(char c) {
    if (IsDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The answer as the JSON reader takes it, one byte at a time. The endpoint
// writes `\'` inside strings, which JSON has not: it becomes an apostrophe.
// What would end the whole reading at one field is mended where it stands,
// and the string marked: bytes that are not UTF-8 (U+FFFD in their place),
// raw control characters and broken escapes (left out), and the bytes of a
// string past kMaxFieldBytes (not handed on). A number that no double holds
// becomes null. Everything else goes through as it is, for the reader to
// judge.
class MendedAnswer {
public:
    explicit MendedAnswer(std::string_view body) : in_(body) {}

    // The next byte; false at the end.
    bool next(char& out) {
        for (;;) {
            if (!piece_.empty()) {
                out = piece_.front();
                piece_.remove_prefix(1);
                return true;
            }
            if (at_ == in_.size()) return false;
            if (inString_ ? stringByte(out) : outsideByte(out)) return true;
        }
    }

    // Whether the string handed on last lost anything on the way. The JSON
    // reader reads nothing past a string's closing quote before it hands the
    // string over, so this is that string's mark.
    bool stringMended() const { return mended_; }

private:
    bool outsideByte(char& out) {
        const char c = in_[at_];
        if (c == '-' || IsDigit(c)) {
            std::size_t end = at_;
            while (end < in_.size() && InNumber(in_[end])) ++end;
            const std::string_view number = in_.substr(at_, end - at_);
            at_ = end;
            double value = 0;
            const bool held = std::from_chars(number.data(), number.data() + number.size(), value).ec == std::errc();
            piece_ = IsJsonNumber(number) && !held ? std::string_view("null") : number;
            return false;
        }
        if (c == '"') {
            inString_ = true;
            mended_ = false;
            stringBytes_ = 0;
        }
        ++at_;
        out = c;
        return true;
    }

    bool stringByte(char& out) {
        const char c = in_[at_];
        if (c == '"') {
            inString_ = false;
            ++at_;
            out = c;
            return true;
        }
        const auto byte = static_cast<unsigned char>(c);
        std::string_view piece;
        std::size_t length = 1;
        bool whole = true;
        if (c == '\\') {
            piece = escape(length);
            whole = !piece.empty();
        } else if (byte < 0x20) {
            whole = false;
        } else if (byte >= 0x80) {
            std::size_t end = at_;
            whole = NextUtf8Character(in_, end).has_value();
            length = end - at_;
            piece = whole ? in_.substr(at_, length) : kReplacement;
        } else {
            piece = in_.substr(at_, 1);
        }
        at_ += length;
        if (piece.size() > kMaxFieldBytes - stringBytes_) {
            whole = false;
            piece = {};
        }
        stringBytes_ += piece.size();
        mended_ = mended_ || !whole;
        piece_ = piece;
        return false;
    }

    // The escape at at_ as JSON takes it (`\'` as an apostrophe), over
    // `length` bytes of the answer; empty when it is broken.
    std::string_view escape(std::size_t& length) const {
        const std::string_view rest = in_.substr(at_);
        length = std::min<std::size_t>(rest.size(), 2);
        if (rest.size() < 2) return {};
        if (rest[1] == '\'') return "'";
        if (std::string_view("\"\\/bfnrt").find(rest[1]) != std::string_view::npos) return rest.substr(0, 2);
        const auto unit = [&rest](std::size_t from) -> int {
            if (rest.size() < from + 6 || rest[from] != '\\' || rest[from + 1] != 'u') return -1;
            int value = 0;
            for (std::size_t i = from + 2; i < from + 6; ++i) {
                const int digit = HexValue(rest[i]);
                if (digit < 0) return -1;
                value = value * 16 + digit;
            }
            return value;
        };
        const int first = unit(0);
        if (first < 0) return {};
        length = 6;
        if (first < 0xD800 || first > 0xDFFF) return rest.substr(0, 6);
        // A surrogate stands only as the first of a pair.
        const int second = unit(6);
        if (first > 0xDBFF || second < 0xDC00 || second > 0xDFFF) return {};
        length = 12;
        return rest.substr(0, 12);
    }

    const std::string_view in_;
    std::size_t at_ = 0;
    std::string_view piece_;  // handed on before the answer is read further
    bool inString_ = false;
    bool mended_ = false;
    std::size_t stringBytes_ = 0;
};

// A MendedAnswer as the iterators the JSON reader reads from.
class MendedBytes {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    MendedBytes() = default;  // the end
    explicit MendedBytes(MendedAnswer& answer) : answer_(&answer) { ++*this; }
    const char& operator*() const { return byte_; }
    MendedBytes& operator++() {
        if (!answer_->next(byte_)) answer_ = nullptr;
        return *this;
    }
    bool operator==(const MendedBytes& other) const { return answer_ == other.answer_; }

private:
    MendedAnswer* answer_ = nullptr;
    char byte_ = 0;
};

// Takes the answer in as the JSON reader meets its values, holding only the
// record being read and the rows made so far. Where a name stands more than
// once, the last one counts, as in a document read whole.
class AnswerReader final : public nlohmann::json_sax<Json> {
public:
    explicit AnswerReader(const MendedAnswer& answer) : answer_(answer) {}

    bool null() override { return absent(slot()); }
    bool boolean(bool) override { return absent(slot()); }
    bool binary(binary_t&) override { return absent(slot()); }
    bool number_integer(number_integer_t value) override {
        return number(slot(), value != 0, value >= 0 && value <= kMaxSize ? std::to_string(value) : std::string());
    }
    bool number_unsigned(number_unsigned_t value) override {
        return number(slot(), value != 0,
                      value <= static_cast<std::uint64_t>(kMaxSize) ? std::to_string(value) : std::string());
    }
    bool number_float(number_float_t value, const string_t&) override {
        return number(slot(), value != 0,
                      value >= 0 && value <= static_cast<double>(kMaxSize) ? NumberText(value) : std::string());
    }
    bool string(string_t& value) override {
        const Slot slot = this->slot();
        // The words are shown whatever was mended in them.
        if (slot == Slot::Message) {
            message_ = std::move(value);
            return true;
        }
        std::string* field = fieldOf(slot);
        if (field == nullptr) return absent(slot);
        *field = answer_.stringMended() ? std::string() : std::move(value);
        return true;
    }

    bool start_object(std::size_t) override {
        if (skipped_ > 0) return skip();
        const Slot slot = this->slot();
        if (slot == Slot::Answer) {
            object_ = true;
            open_.push_back(Level::Answer);
        } else if (slot == Slot::Element) {
            record_ = {};
            open_.push_back(Level::Record);
        } else if (slot == Slot::FirstReplacement) {
            open_.push_back(Level::FirstReplacement);
        } else {
            return absent(slot) && skip();
        }
        return true;
    }
    bool start_array(std::size_t) override {
        if (skipped_ > 0) return skip();
        const Slot slot = this->slot();
        if (slot == Slot::Data) {
            data_ = true;
            records_.clear();
            elements_ = 0;
            open_.push_back(Level::Data);
        } else if (slot == Slot::Replacements) {
            record_.clear.clear();
            replacements_ = 0;
            open_.push_back(Level::Replacements);
        } else {
            return slot != Slot::Answer && absent(slot) && skip();
        }
        return true;
    }
    bool key(string_t& name) override {
        if (skipped_ == 0) pending_ = answer_.stringMended() ? Slot::None : SlotNamed(open_.back(), name);
        return true;
    }
    bool end_object() override { return end(); }
    bool end_array() override { return end(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

    // The reading, once the JSON reader is done; `whole` when it read the
    // answer to its end.
    JsonPageReading finish(bool whole) {
        JsonPageReading reading;
        if (tooMany_) {
            reading.isData = true;
            reading.pictures.unreadable = true;
            return reading;
        }
        if (!whole || !object_) return reading;
        if (refused_) {
            const std::string words = ShownWords(message_);
            reading.refusal = words.empty() ? std::string("antiFlag") : words;
        } else if (data_) {
            reading.isData = true;
            reading.pictures.records = std::move(records_);
        }
        return reading;
    }

private:
    // The containers that are read; all others are skipped whole.
    enum class Level { Answer, Data, Record, Replacements, FirstReplacement };
    // What a value is to the reading.
    enum class Slot {
        None, Abort, Answer, AntiFlag, Message, Data, Element,
        Replacements, FirstReplacement, Clear, Ciphered, Hover, Middle, Thumbnail, Width, Height,
        From, Title,
    };

    struct Record {
        std::string clear, ciphered, hover, middle, thumbnail, width, height, from, title;
    };

    static Slot SlotNamed(Level level, std::string_view name) {
        static constexpr struct {
            Level level;
            std::string_view name;
            Slot slot;
        } kNames[] = {
            {Level::Answer, "antiFlag", Slot::AntiFlag},   {Level::Answer, "message", Slot::Message},
            {Level::Answer, "data", Slot::Data},           {Level::Record, "replaceUrl", Slot::Replacements},
            {Level::Record, "objURL", Slot::Ciphered},     {Level::Record, "hoverURL", Slot::Hover},
            {Level::Record, "middleURL", Slot::Middle},    {Level::Record, "thumbURL", Slot::Thumbnail},
            {Level::Record, "width", Slot::Width},         {Level::Record, "height", Slot::Height},
            {Level::Record, "fromURL", Slot::From},        {Level::Record, "fromPageTitle", Slot::Title},
            {Level::FirstReplacement, "ObjURL", Slot::Clear},
        };
        for (const auto& entry : kNames)
            if (entry.level == level && entry.name == name) return entry.slot;
        return Slot::None;
    }

    // What the value now beginning is to the reading.
    Slot slot() {
        if (skipped_ > 0) return Slot::None;
        if (open_.empty()) return Slot::Answer;
        switch (open_.back()) {
            case Level::Data:
                if (++elements_ <= kMaxPageElements) return Slot::Element;
                tooMany_ = true;
                return Slot::Abort;
            case Level::Replacements:
                // Only the first replacement counts.
                return replacements_++ == 0 ? Slot::FirstReplacement : Slot::None;
            default:
                return std::exchange(pending_, Slot::None);
        }
    }

    std::string* fieldOf(Slot slot) {
        switch (slot) {
            case Slot::Replacements:
            case Slot::Clear: return &record_.clear;
            case Slot::Ciphered: return &record_.ciphered;
            case Slot::Hover: return &record_.hover;
            case Slot::Middle: return &record_.middle;
            case Slot::Thumbnail: return &record_.thumbnail;
            case Slot::Width: return &record_.width;
            case Slot::Height: return &record_.height;
            case Slot::From: return &record_.from;
            case Slot::Title: return &record_.title;
            default: return nullptr;
        }
    }

    bool number(Slot slot, bool nonzero, std::string size) {
        if (slot == Slot::AntiFlag) {
            refused_ = nonzero;
            return true;
        }
        if (slot == Slot::Width || slot == Slot::Height) {
            *fieldOf(slot) = std::move(size);
            return true;
        }
        return absent(slot);
    }

    // A value that gives the slot nothing it can use: it stands for none.
    bool absent(Slot slot) {
        switch (slot) {
            case Slot::Abort:
            case Slot::Answer: return false;  // the answer is no object
            case Slot::AntiFlag: refused_ = true; break;
            case Slot::Message: message_.clear(); break;
            case Slot::Data:
                data_ = false;
                records_.clear();
                break;
            default:
                if (std::string* field = fieldOf(slot)) field->clear();
        }
        return true;
    }

    bool skip() {
        ++skipped_;
        return true;
    }

    bool end() {
        if (skipped_ > 0) {
            --skipped_;
            return true;
        }
        if (open_.back() == Level::Record) keepRecord();
        open_.pop_back();
        return true;
    }

    void keepRecord() {
        // The clear address, where the service gives one.
        std::string address = !record_.clear.empty()      ? std::move(record_.clear)
                              : !record_.ciphered.empty() ? DecodeCipheredAddress(record_.ciphered)
                              : !record_.hover.empty()    ? std::move(record_.hover)
                                                          : std::move(record_.middle);
        if (address.empty()) return;
        ImageRecord row;
        row.address = Utf8ToGbk(address);
        row.width = Utf8ToGbk(record_.width);
        row.height = Utf8ToGbk(record_.height);
        row.thumbnail = Utf8ToGbk(record_.thumbnail);
        row.sourcePage = Utf8ToGbk(SourcePageAddress(record_.from));
        row.title = Utf8ToGbk(PlainTitle(record_.title));
        records_.push_back(std::move(row));
    }

    const MendedAnswer& answer_;
    std::vector<Level> open_;  // at most the five levels read
    std::size_t skipped_ = 0;  // depth inside a container that is skipped
    Slot pending_ = Slot::None;  // the slot of the name just read
    bool object_ = false;
    bool refused_ = false;
    std::string message_;
    bool data_ = false;
    std::size_t elements_ = 0;
    bool tooMany_ = false;
    std::vector<ImageRecord> records_;
    Record record_;
    std::size_t replacements_ = 0;
};

}  // namespace

Text BuildJsonPageUrl(std::string_view origin, std::string_view keyword, std::int32_t pageIndex,
                      std::string_view width, std::string_view height, const JsonFilters& filters) {
    if (width.empty() || height.empty()) {
        width = "0";
        height = "0";
    }
    std::string extra;
    if (filters.color > 0) extra += "&ic=" + std::to_string(filters.color);
    if (filters.face) extra += "&face=1";
    switch (filters.kind) {
        case JsonFilters::Kind::Clipart: extra += "&st=1"; break;
        case JsonFilters::Kind::LineDrawing: extra += "&st=2"; break;
        case JsonFilters::Kind::Animated: extra += "&lm=6"; break;
        case JsonFilters::Kind::Static: extra += "&lm=7"; break;
        case JsonFilters::Kind::Any: break;
    }
    return ConcatText(origin, "/search/acjson?tn=resultjson_com&ipn=rj&word=", UrlEncode(keyword),
                      "&pn=", std::to_string(static_cast<std::int64_t>(pageIndex) * kJsonPageSize),
                      "&rn=", std::to_string(kJsonPageSize), "&width=", width, "&height=", height, extra);
}

Text JsonPageHeaders(std::string_view origin) {
    return ConcatText("Referer: ", origin, "/\r\n",
                      "Accept-Language: zh-CN,zh;q=0.9\r\n",
                      "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
                      "Chrome/131.0.0.0 Safari/537.36\r\n");
}

std::string DecodeCipheredAddress(std::string_view ciphered) {
    std::string text(ciphered);
    for (const auto& [from, to] : {std::pair<std::string_view, std::string_view>{"_z2C$q", ":"},
                                   {"_z&e3B", "."},
                                   {"AzdH3F", "/"}}) {
        for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
    }
    static constexpr std::string_view kFrom = "wkv1ju2it3hs4g5rq6fp7eo8dn9cm0bla";
    static constexpr std::string_view kTo = "abcdefghijklmnopqrstuvw1234567890";
    for (char& c : text) {
        const std::size_t at = kFrom.find(c);
        if (at != std::string_view::npos) c = kTo[at];
    }
    return text;
}

JsonPageReading ReadJsonPage(std::string_view body) {
    MendedAnswer answer(body);
    AnswerReader reader(answer);
    const bool whole = Json::sax_parse(MendedBytes(answer), MendedBytes(), &reader);
    return reader.finish(whole);
}

}  // namespace lumigrab
