#include "cli/manifest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <map>
#include <span>
#include <tuple>
#include <utility>

#include <nlohmann/json.hpp>

#include "download/save_folder.h"
#include "json/number_text.h"
#include "net/redirects.h"
#include "net/retry.h"
#include "text/text.h"
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

// A size as the page gave it: a number stays a number.
void AppendSize(std::string& out, std::string_view size) {
    if (size.empty()) {
        out += "null";
    } else if (IsJsonNumber(size)) {
        out += size;
    } else {
        AppendString(out, size);
    }
}

// A whole number from `low` to `high` written as JSON writes one.
std::optional<std::uint64_t> WholeNumber(std::string_view text, std::uint64_t low, std::uint64_t high) {
    std::uint64_t n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size() || n < low || n > high) return std::nullopt;
    return n;
}

// The one shape a manifest line has: an object of strings, numbers and nulls.
struct Value {
    enum class Kind { String, Number, Null, Other } kind = Kind::Null;
    std::string text;
};
using Members = std::map<std::string, Value, std::less<>>;

// Reads a line's members as the parser meets them, without building a
// document first: a resumed run reads thousands of lines before its first
// request. What a value nested deeper holds does not matter; that it is
// there makes its member "Other".
class LineReader : public nlohmann::json_sax<nlohmann::json> {
public:
    explicit LineReader(Members& members) : members_(members) {}

    bool null() override { return put(Value{}); }
    bool boolean(bool) override { return put(Value{Value::Kind::Other, {}}); }
    bool number_integer(number_integer_t n) override { return put(Value{Value::Kind::Number, std::to_string(n)}); }
    bool number_unsigned(number_unsigned_t n) override {
        return put(Value{Value::Kind::Number, std::to_string(n)});
    }
    bool number_float(number_float_t n, const string_t&) override {
        // Written back as the parsed number is written, whatever the input's spelling.
        return put(Value{Value::Kind::Number, nlohmann::json(n).dump()});
    }
    bool string(string_t& text) override { return put(Value{Value::Kind::String, std::move(text)}); }
    bool binary(binary_t&) override { return put(Value{Value::Kind::Other, {}}); }
    bool start_object(std::size_t) override { return open(true); }
    bool start_array(std::size_t) override { return open(false); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }
    bool key(string_t& name) override {
        if (depth_ == 1) key_ = std::move(name);
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
        // "[json.exception.parse_error.101] parse error at line 1, column 7: …"
        const std::string what = e.what();
        const std::size_t at = what.find("parse error");
        syntax_ = at == std::string::npos ? what : what.substr(at);
        return false;
    }

    const std::string& syntaxError() const { return syntax_; }
    bool wasObject() const { return object_; }

private:
    bool put(Value value) {
        if (depth_ == 1) members_[key_] = std::move(value);  // a later duplicate wins
        return true;
    }
    bool open(bool object) {
        if (depth_ == 0) {
            object_ = object;
        } else if (depth_ == 1) {
            members_[key_] = Value{Value::Kind::Other, {}};
        }
        ++depth_;
        return true;
    }
    bool close() {
        --depth_;
        return true;
    }
    Members& members_;
    std::string key_;
    std::string syntax_;
    int depth_ = 0;
    bool object_ = false;
};

bool ReadLine(std::string_view line, Members& members, std::string& error) {
    LineReader reader(members);
    const bool parsed = nlohmann::json::sax_parse(line, &reader);
    if (!parsed) {
        error = reader.syntaxError().empty() ? std::string("parse error") : reader.syntaxError();
        return false;
    }
    if (!reader.wasObject()) {
        error = "expected an object";
        return false;
    }
    for (const auto& [key, value] : members) {
        // System text ends at a zero byte: such a value was not written by us.
        if (value.kind == Value::Kind::String && value.text.find('\0') != std::string::npos) {
            error = "zero character in \"" + key + "\"";
            return false;
        }
        if (value.kind == Value::Kind::Other) {
            error = "\"" + key + "\" is not a string, a number or null";
            return false;
        }
    }
    return true;
}

// Lexically, without a trailing separator: "./cat/" and "cat" are one folder.
std::filesystem::path Normal(const std::filesystem::path& path) {
    std::filesystem::path normal = path.lexically_normal();
    if (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
    return normal.empty() ? std::filesystem::path(".") : normal;
}

// The run's folder, normalised once for every record that names one.
struct RunFolder {
    explicit RunFolder(const std::filesystem::path& folder) : folder(folder), normal(Normal(folder)) {}
    bool same(const std::filesystem::path& other) const {
        if (Normal(other) == normal) return true;
        std::error_code ec;
        return std::filesystem::equivalent(other, folder, ec) && !ec;
    }
    // Whether the file `path` lies right in the folder. Paths this command
    // wrote are the folder as given, a separator and a name: those are told
    // without normalising.
    bool holds(std::string_view path) const {
        const std::string& given = folder.native();
        if (!given.empty() && given.back() != '/' && path.starts_with(given) && path.size() > given.size() + 1 &&
            path[given.size()] == '/') {
            const std::string_view name = path.substr(given.size() + 1);
            if (name.find('/') == std::string_view::npos && name != "." && name != "..") return true;
        }
        return same(Normal(std::filesystem::path(path)).parent_path());
    }
    std::filesystem::path folder, normal;
};

// `runs` and `folders` side by side; `which` is set to the record's run.
std::optional<Entry> EntryFromLine(std::string_view line, std::span<const ManifestRun> runs,
                                   const std::vector<RunFolder>& folders, std::size_t& which, std::string& error) {
    Members members;
    if (!ReadLine(line, members, error)) return std::nullopt;
    auto text = [&](std::string_view key, bool required, std::string& out) {
        const auto found = members.find(key);
        if (found == members.end() || found->second.kind == Value::Kind::Null) {
            if (required) error = "\"" + std::string(key) + "\" is missing";
            return !required;
        }
        out = std::move(found->second.text);
        return true;
    };
    std::string saveName, path, address, thumbnail, width, height, state, reason, bytes, sha256;
    std::string keyword, folder, sourcePage, title, rank, page;
    if (!text("save_name", true, saveName) || !text("path", false, path) ||
        !text("source_page", false, sourcePage) || !text("title", false, title) ||
        !text("rank", false, rank) || !text("page", false, page) ||
        !text("url", true, address) || !text("state", true, state) ||
        !text("thumbnail_url", false, thumbnail) || !text("width", false, width) ||
        !text("height", false, height) || !text("reason", false, reason) ||
        !text("bytes", false, bytes) || !text("sha256", false, sha256) ||
        !text("keyword", false, keyword) || !text("folder", false, folder))
        return std::nullopt;
    // A manifest decides where files are written: it must be this run's,
    // and no record may reach outside its folder.
    which = 0;
    if (members.contains("keyword")) {
        while (which < runs.size() && runs[which].keyword != keyword) ++which;
        if (which == runs.size()) {
            error = "made for the keyword \"" + keyword + "\", not " +
                    (runs.size() == 1 ? "\"" + runs[0].keyword + "\"" : std::string("one of this run's"));
            return std::nullopt;
        }
    } else if (runs.size() > 1) {
        // Older manifests name no keyword: whose pictures they hold is
        // known only when the run has one.
        error = "\"keyword\" is missing, and this run searches several";
        return std::nullopt;
    }
    const ManifestRun& run = runs[which];
    const RunFolder& runFolder = folders[which];
    if (members.contains("folder") && !runFolder.same(folder)) {
        error = "its pictures go to " + folder + ", not " + run.folder.string() + " (-o)";
        return std::nullopt;
    }
    Entry entry(saveName, address, thumbnail, width, height, sourcePage, title);
    if (const std::string problem = SaveNameProblem(entry.saveName()); !problem.empty()) {
        error = "the save name \"" + saveName + "\" " + problem;
        return std::nullopt;
    }
    if (!path.empty() && !runFolder.holds(path)) {
        error = "the path " + path + " lies outside " + run.folder.string();
        return std::nullopt;
    }
    using Kind = DownloadOutcome::Kind;
    using Rule = DownloadOutcome::Rule;
    static constexpr std::pair<Kind, Rule> kStates[] = {{Kind::Saved, Rule::Filtered},
                                                        {Kind::Failed, Rule::Filtered},
                                                        {Kind::PassedOver, Rule::Filtered},
                                                        {Kind::NotKept, Rule::Duplicate},
                                                        {Kind::NotKept, Rule::Filtered}};
    const auto known = std::find_if(std::begin(kStates), std::end(kStates),
                                    [&state](const auto& s) { return StateWord(s.first, s.second) == state; });
    if (known == std::end(kStates)) {
        error = "\"state\" is not one of \"ok\", \"failed\", \"skipped\", \"duplicate\", \"filtered\"";
        return std::nullopt;
    }
    std::tie(entry.outcome, entry.rule) = *known;
    if (!bytes.empty()) {
        if (bytes.size() > 15 || bytes.find_first_not_of("0123456789") != std::string::npos) {
            error = "\"bytes\" is not a byte count";
            return std::nullopt;
        }
        entry.bytes = std::stoull(bytes);
    }
    if (!rank.empty()) {
        const auto n = WholeNumber(rank, 1, std::numeric_limits<std::uint32_t>::max());
        if (!n) {
            error = "\"rank\" is not a position from 1";
            return std::nullopt;
        }
        entry.rank = static_cast<std::uint32_t>(*n);
    }
    if (!page.empty()) {
        const auto n = WholeNumber(page, 0, std::numeric_limits<std::int32_t>::max());
        if (!n) {
            error = "\"page\" is not a page number from 0";
            return std::nullopt;
        }
        entry.page = static_cast<std::int32_t>(*n);
    }
    if (entry.ok() && !Sha256FromHex(sha256, entry.sha256)) {
        error = "\"sha256\" is not a SHA-256";
        return std::nullopt;
    }
    if (!entry.ok()) entry.reason = std::move(reason);
    return entry;
}

}  // namespace

Entry::Entry(std::string_view saveName, std::string_view address, std::string_view thumbnail,
             std::string_view width, std::string_view height, std::string_view sourcePage,
             std::string_view title) {
    std::size_t i = 0;
    for (std::string_view text : {saveName, address, thumbnail, width, height, sourcePage, title}) {
        texts_ += text;
        ends_[i++] = static_cast<std::uint32_t>(texts_.size());
    }
    texts_.shrink_to_fit();
}

void Entry::setOutcome(const DownloadOutcome& ended) {
    outcome = ended.kind;
    rule = ended.rule;
    reason = ReasonWords(ended);
}

std::string_view Entry::field(int index) const {
    const std::uint32_t start = index == 0 ? 0 : ends_[static_cast<std::size_t>(index - 1)];
    return std::string_view(texts_).substr(start, ends_[static_cast<std::size_t>(index)] - start);
}

bool Sha256FromHex(std::string_view hex, std::array<std::uint8_t, 32>& out) {
    if (hex.size() != 64) return false;
    const auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int high = nibble(hex[2 * i]), low = nibble(hex[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

std::filesystem::path PathOf(const ManifestRun& run, const Entry& entry) {
    // As PicturePath makes it, from a name that is UTF-8 already.
    std::string path = run.folder.string();
    path += '/';
    path += entry.saveName();
    path += ".jpg";
    return path;
}

std::string SaveNameProblem(std::string_view saveName) {
    if (saveName.empty()) return "is empty";
    // The name gets ".jpg" and goes into the folder: without a separator or
    // a parent step in it, no name can lead anywhere else.
    if (saveName.find('/') != std::string_view::npos) return "holds \"/\"";
    if (saveName.find("..") != std::string_view::npos) return "holds \"..\"";
    for (char c : saveName)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return "holds a control character";
    return {};
}

std::string_view StateWord(DownloadOutcome::Kind kind, DownloadOutcome::Rule rule) {
    switch (kind) {
        case DownloadOutcome::Kind::Saved: return "ok";
        case DownloadOutcome::Kind::Failed: break;
        case DownloadOutcome::Kind::PassedOver: return "skipped";
        case DownloadOutcome::Kind::NotKept:
            switch (rule) {
                case DownloadOutcome::Rule::Filtered: return "filtered";
                case DownloadOutcome::Rule::Duplicate: return "duplicate";
            }
            break;
    }
    return "failed";
}

std::string ReasonWords(const DownloadOutcome& outcome) {
    using Cause = DownloadOutcome::Cause;
    switch (outcome.kind) {
        case DownloadOutcome::Kind::Saved: return {};
        case DownloadOutcome::Kind::NotKept:
            return outcome.rule == DownloadOutcome::Rule::Duplicate ? "same as " + outcome.detail : outcome.detail;
        case DownloadOutcome::Kind::PassedOver:
            if (outcome.passed == DownloadOutcome::Passed::InArchive) return "in archive";
            // What that copy made of it is what its archive row says.
            return outcome.detail.empty()
                       ? "being fetched by process " + std::to_string(outcome.process)
                       : "fetched by process " + std::to_string(outcome.process) + ", " + outcome.detail;
        case DownloadOutcome::Kind::Failed: break;
    }
    std::string words;
    switch (outcome.cause) {
        case Cause::Stopped: words = "stopped"; break;
        case Cause::WriteFailed: words = "write failed"; break;
        case Cause::NoAddress: words = "no address"; break;
        case Cause::NoThread: words = "no thread"; break;
        case Cause::NoChecksum: words = "no checksum"; break;
        case Cause::NoResponse:
        case Cause::NotPicture:
            // The transfer's own trouble says most; a status not 2xx next.
            if (outcome.http != HttpFailure::None) {
                words = FailureText(outcome.http);
            } else if (outcome.cause == Cause::NoResponse) {
                words = "no response";
            } else if (outcome.status < 200 || outcome.status > 299) {
                words = "HTTP " + std::to_string(outcome.status);
            } else {
                words = "not a picture";
            }
            break;
    }
    if (const std::string wait = RefusedWaitText(outcome.retryAfter); !wait.empty()) words += ", " + wait;
    if (outcome.tries > 1) words += " after " + std::to_string(outcome.tries) + " tries";
    return words;
}

std::string ManifestLine(const ManifestRun& run, const Entry& entry) {
    std::string out = "{\"save_name\":";
    AppendString(out, entry.saveName());
    out += ",\"path\":";
    AppendString(out, PathOf(run, entry).string());
    out += ",\"url\":";
    AppendString(out, entry.address());
    out += ",\"thumbnail_url\":";
    AppendString(out, entry.thumbnail());
    out += ",\"width\":";
    AppendSize(out, entry.width());
    out += ",\"height\":";
    AppendSize(out, entry.height());
    out += ",\"state\":\"";
    out += StateWord(entry);
    out += "\",\"reason\":";
    if (entry.ok()) {
        out += "null";
    } else {
        AppendString(out, entry.reason);
    }
    out += ",\"bytes\":" + std::to_string(entry.bytes);
    out += ",\"sha256\":";
    if (entry.ok()) {
        AppendString(out, LowerHex(entry.sha256));
    } else {
        out += "null";
    }
    out += ",\"keyword\":";
    AppendString(out, run.keyword);
    out += ",\"folder\":";
    AppendString(out, run.folder.string());
    out += ",\"source_page\":";
    AppendString(out, entry.sourcePage());
    out += ",\"title\":";
    AppendString(out, entry.title());
    out += ",\"rank\":" + (entry.rank > 0 ? std::to_string(entry.rank) : std::string("null"));
    out += ",\"page\":" + (entry.page >= 0 ? std::to_string(entry.page) : std::string("null"));
    out += '}';
    return out;
}

bool WriteManifest(const std::filesystem::path& file, std::span<const ManifestPart> parts, std::string& error) {
    constexpr std::size_t kChunk = std::size_t{64} << 10;
    // The manifest decides what a later --resume fetches again: it must not
    // take its name before the disk has it.
    return ReplaceFileStreamed(
        file,
        [&](const ByteSink& sink) {
            std::string chunk;
            const auto flush = [&] {
                const bool ok = sink(std::span(reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size()));
                chunk.clear();
                return ok;
            };
            for (const ManifestPart& part : parts) {
                for (const Entry& entry : *part.entries) {
                    chunk += ManifestLine(*part.run, entry);
                    chunk += '\n';
                    if (chunk.size() >= kChunk && !flush()) return false;
                }
            }
            return flush();
        },
        FileSync::Yes, &error);
}

std::optional<std::vector<std::vector<Entry>>> ReadManifest(const std::filesystem::path& file,
                                                            std::span<const ManifestRun> runs, std::string& error) {
    const auto fail = [&](const std::string& why) {
        error = file.string() + ": " + why;
        return std::nullopt;
    };
    // Not blocking: a FIFO in its place must not hold the run in open().
    const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) return fail(std::strerror(errno));
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return fail(std::strerror(errno));
    if (!S_ISREG(info.st_mode)) return fail("not a regular file");

    std::vector<RunFolder> folders;
    for (const ManifestRun& run : runs) folders.emplace_back(run.folder);
    std::vector<std::vector<Entry>> entries(runs.size());
    std::string line;
    int number = 0;
    // One line past the end of every buffer, so the last one needs no break.
    const auto take = [&]() -> bool {
        ++number;
        std::string why;
        if (line.find_first_not_of(" \t\r") != std::string::npos) {
            std::size_t which = 0;
            std::optional<Entry> entry = EntryFromLine(line, runs, folders, which, why);
            if (!entry) {
                error = file.string() + ", line " + std::to_string(number) + ": " + why;
                return false;
            }
            entries[which].push_back(std::move(*entry));
        }
        line.clear();
        return true;
    };
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(std::strerror(errno));
        if (n == 0) break;
        std::string_view chunk(buffer, static_cast<std::size_t>(n));
        while (!chunk.empty()) {
            const std::size_t end = chunk.find('\n');
            line.append(chunk.substr(0, end));
            if (line.size() > kMaxManifestLine) {
                error = file.string() + ", line " + std::to_string(number + 1) + ": line too long";
                return std::nullopt;
            }
            if (end == std::string_view::npos) break;
            chunk.remove_prefix(end + 1);
            if (!take()) return std::nullopt;
        }
    }
    if (!line.empty() && !take()) return std::nullopt;
    for (std::vector<Entry>& part : entries) part.shrink_to_fit();
    return entries;
}

}  // namespace lumigrab::cli
