#include "cli/keywords.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/file_io.h"

namespace lumigrab::cli {
namespace {

std::string Replaced(std::string_view out, std::string_view with) {
    std::string result;
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = out.find(kKeywordField, from);
        if (at == std::string_view::npos) break;
        result.append(out.substr(from, at - from)).append(with);
        from = at + kKeywordField.size();
    }
    return result.append(out.substr(from));
}

// Lexically, without a trailing separator, so "pics/" holds "pics/cat".
std::filesystem::path Lexical(const std::filesystem::path& path) {
    std::filesystem::path normal = path.lexically_normal();
    if (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
    return normal.empty() ? std::filesystem::path(".") : normal;
}

std::string_view Trimmed(std::string_view line) {
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return line.substr(first, line.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::vector<GivenKeyword> KeywordFileLines(std::string_view text, const std::string& name) {
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    std::vector<GivenKeyword> keywords;
    int number = 0;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        ++number;
        if (line.ends_with('\r')) line.remove_suffix(1);
        line = Trimmed(line);
        if (line.empty() || line.front() == '#') continue;
        keywords.push_back({std::string(line), name + ", line " + std::to_string(number)});
    }
    return keywords;
}

std::optional<std::string> ReadKeywordFile(const std::string& name, std::string& error) {
    const bool standardInput = name == "-";
    const std::string shown = standardInput ? std::string("- (standard input)") : name;
    UniqueFd owned(standardInput ? -1 : ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    const int fd = standardInput ? STDIN_FILENO : owned.get();
    if (fd < 0) {
        error = "cannot read the keyword file " + shown + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::string text;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "cannot read the keyword file " + shown + ": " + std::strerror(errno);
            return std::nullopt;
        }
        if (n == 0) return text;
        if (text.size() + static_cast<std::size_t>(n) > kMaxKeywordFile) {
            error = "the keyword file " + shown + " is larger than " + std::to_string(kMaxKeywordFile >> 20) +
                    " MiB";
            return std::nullopt;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

std::optional<std::filesystem::path> KeywordFolder(std::string_view out, std::string_view keyword,
                                                   std::string& why) {
    const std::size_t first = out.find(kKeywordField);
    if (first == std::string_view::npos) return std::filesystem::path(out);
    // The folder the user named is the part of -o before the field's own
    // folder name; the keyword, taken as it is, must stay below it.
    const std::string_view prefix = out.substr(0, first);
    const std::size_t slash = prefix.rfind('/');
    const std::filesystem::path base =
        slash == std::string_view::npos ? std::filesystem::path(".") : std::filesystem::path(prefix.substr(0, slash + 1));
    const std::filesystem::path inside = Lexical(Replaced(out, keyword)).lexically_relative(Lexical(base));
    if (inside.empty() || inside == "." || *inside.begin() == "..") {
        why = "the keyword \"" + std::string(keyword) + "\" would put its folder (-o " + std::string(out) +
              ") outside " + base.string();
        return std::nullopt;
    }
    std::string name(keyword);
    std::replace(name.begin(), name.end(), '/', '_');
    return std::filesystem::path(Replaced(out, name));
}

}  // namespace lumigrab::cli
