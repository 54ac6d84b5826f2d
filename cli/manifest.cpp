#include "cli/manifest.h"

#include <cstring>
#include <map>
#include <span>

#include "platform/file_io.h"
#include "text/encoding.h"

namespace lumigrab::cli {
namespace {

void AppendString(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            out += "\\u00";
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        } else {
            out += c;
        }
    }
    out += '"';
}

bool IsJsonNumber(std::string_view text) {
    std::size_t i = 0;
    auto digits = [&] {
        const std::size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
        return i > start;
    };
    if (i < text.size() && text[i] == '-') ++i;
    if (i < text.size() && text[i] == '0') {
        ++i;
    } else if (!digits()) {
        return false;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        if (!digits()) return false;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        if (!digits()) return false;
    }
    return i == text.size();
}

// A size as the page gave it: a number stays a number.
void AppendSize(std::string& out, const Text& size) {
    if (size.empty()) {
        out += "null";
    } else if (IsJsonNumber(size)) {
        out += size;
    } else {
        AppendString(out, GbkToUtf8(size));
    }
}

// The one shape a manifest line has: an object of strings, numbers and nulls.
class LineReader {
public:
    explicit LineReader(std::string_view line) : text_(line) {}

    struct Value {
        enum class Kind { String, Number, Null } kind = Kind::Null;
        std::string text;
    };

    bool read(std::map<std::string, Value, std::less<>>& members) {
        space();
        if (!take('{')) return fail("expected an object");
        space();
        if (take('}')) return end();
        do {
            space();
            std::string key;
            if (!string(key)) return false;
            space();
            if (!take(':')) return fail("expected \":\"");
            space();
            Value value;
            if (!this->value(value)) return false;
            members[key] = std::move(value);
            space();
        } while (take(','));
        if (!take('}')) return fail("expected \",\" or \"}\"");
        return end();
    }

    const std::string& error() const { return error_; }

private:
    bool fail(std::string message) {
        if (error_.empty()) error_ = std::move(message) + " at column " + std::to_string(at_ + 1);
        return false;
    }
    bool end() {
        space();
        return at_ == text_.size() || fail("text after the object");
    }
    void space() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\r'))
            ++at_;
    }
    bool take(char c) {
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool word(std::string_view w) {
        if (text_.substr(at_, w.size()) != w) return false;
        at_ += w.size();
        return true;
    }

    bool value(Value& value) {
        if (at_ < text_.size() && text_[at_] == '"') {
            value.kind = Value::Kind::String;
            return string(value.text);
        }
        if (word("null")) {
            value.kind = Value::Kind::Null;
            return true;
        }
        const std::size_t start = at_;
        while (at_ < text_.size() && std::strchr("+-.0123456789eE", text_[at_]) != nullptr) ++at_;
        value.kind = Value::Kind::Number;
        value.text = std::string(text_.substr(start, at_ - start));
        return IsJsonNumber(value.text) || fail("expected a string, a number or null");
    }

    bool hex4(unsigned& code) {
        if (at_ + 4 > text_.size()) return fail("short \\u escape");
        code = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text_[at_++];
            code <<= 4;
            if (c >= '0' && c <= '9') code |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f') code |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') code |= static_cast<unsigned>(c - 'A' + 10);
            else return fail("bad \\u escape");
        }
        return true;
    }

    bool escape(std::string& out) {
        if (at_ >= text_.size()) return fail("unfinished escape");
        const char c = text_[at_++];
        switch (c) {
            case '"': out += '"'; return true;
            case '\\': out += '\\'; return true;
            case '/': out += '/'; return true;
            case 'b': out += '\b'; return true;
            case 'f': out += '\f'; return true;
            case 'n': out += '\n'; return true;
            case 'r': out += '\r'; return true;
            case 't': out += '\t'; return true;
            case 'u': break;
            default: return fail("bad escape");
        }
        unsigned code = 0;
        if (!hex4(code)) return false;
        if (code >= 0xDC00 && code <= 0xDFFF) return fail("lone surrogate");
        if (code >= 0xD800 && code <= 0xDBFF) {
            unsigned low = 0;
            if (!word("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF)
                return fail("lone surrogate");
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        if (code == 0) return fail("zero character");
        AppendUtf8(out, static_cast<char32_t>(code));
        return true;
    }

    bool string(std::string& out) {
        if (!take('"')) return fail("expected a string");
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') return true;
            if (c == '\\') {
                if (!escape(out)) return false;
            } else if (static_cast<unsigned char>(c) < 0x20) {
                return fail("control character in a string");
            } else {
                out += c;
            }
        }
        return fail("unfinished string");
    }

    std::string_view text_;
    std::size_t at_ = 0;
    std::string error_;
};

std::optional<Entry> EntryFromLine(std::string_view line, std::string& error) {
    using Value = LineReader::Value;
    LineReader reader(line);
    std::map<std::string, Value, std::less<>> members;
    if (!reader.read(members)) {
        error = reader.error();
        return std::nullopt;
    }
    auto text = [&](std::string_view key, bool required, std::string& out) {
        const auto found = members.find(key);
        if (found == members.end() || found->second.kind == Value::Kind::Null) {
            if (required) error = "\"" + std::string(key) + "\" is missing";
            return !required;
        }
        out = found->second.text;
        return true;
    };
    Entry entry;
    std::string saveName, address, thumbnail, width, height, state, bytes;
    if (!text("save_name", true, saveName) || !text("path", true, entry.path) ||
        !text("url", true, address) || !text("state", true, state) ||
        !text("thumbnail_url", false, thumbnail) || !text("width", false, width) ||
        !text("height", false, height) || !text("reason", false, entry.reason) ||
        !text("bytes", false, bytes) || !text("sha256", false, entry.sha256))
        return std::nullopt;
    if (state != "ok" && state != "failed") {
        error = "\"state\" is neither \"ok\" nor \"failed\"";
        return std::nullopt;
    }
    if (entry.path.empty()) {
        error = "\"path\" is empty";
        return std::nullopt;
    }
    if (!bytes.empty()) {
        if (bytes.size() > 15 || bytes.find_first_not_of("0123456789") != std::string::npos) {
            error = "\"bytes\" is not a byte count";
            return std::nullopt;
        }
        entry.bytes = std::stoull(bytes);
    }
    entry.ok = state == "ok";
    entry.saveName = Utf8ToGbk(saveName);
    entry.address = Utf8ToGbk(address);
    entry.thumbnail = Utf8ToGbk(thumbnail);
    entry.width = Utf8ToGbk(width);
    entry.height = Utf8ToGbk(height);
    return entry;
}

}  // namespace

std::string ManifestLine(const Entry& entry) {
    std::string out = "{\"save_name\":";
    AppendString(out, GbkToUtf8(entry.saveName));
    out += ",\"path\":";
    AppendString(out, entry.path);
    out += ",\"url\":";
    AppendString(out, GbkToUtf8(entry.address));
    out += ",\"thumbnail_url\":";
    AppendString(out, GbkToUtf8(entry.thumbnail));
    out += ",\"width\":";
    AppendSize(out, entry.width);
    out += ",\"height\":";
    AppendSize(out, entry.height);
    out += entry.ok ? ",\"state\":\"ok\",\"reason\":null" : ",\"state\":\"failed\",\"reason\":";
    if (!entry.ok) AppendString(out, entry.reason);
    out += ",\"bytes\":" + std::to_string(entry.bytes);
    out += ",\"sha256\":";
    if (entry.ok) {
        AppendString(out, entry.sha256);
    } else {
        out += "null";
    }
    out += '}';
    return out;
}

bool WriteManifest(const std::filesystem::path& file, const std::vector<Entry>& entries,
                   std::string& error) {
    std::string text;
    for (const Entry& entry : entries) text += ManifestLine(entry) + "\n";
    // The manifest decides what a later --resume fetches again: it must not
    // take its name before the disk has it.
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    return ReplaceFile(file, bytes, FileSync::Yes, &error);
}

std::optional<std::vector<Entry>> ReadManifest(const std::filesystem::path& file,
                                               std::string& error) {
    const std::optional<Bytes> bytes = ReadFileBounded(file, kMaxManifestBytes, &error);
    if (!bytes) return std::nullopt;
    const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());

    std::vector<Entry> entries;
    std::size_t start = 0;
    for (int number = 1; start < text.size(); ++number) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
        std::string why;
        std::optional<Entry> entry;
        if (line.size() > kMaxManifestLine) {
            why = "line too long";
        } else {
            entry = EntryFromLine(line, why);
        }
        if (!entry) {
            error = file.string() + ", line " + std::to_string(number) + ": " + why;
            return std::nullopt;
        }
        entries.push_back(std::move(*entry));
    }
    return entries;
}

}  // namespace lumigrab::cli
