#pragma once
// The keywords of a run: from the command line and a keyword file, and the
// folder each one's pictures go to.
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumigrab::cli {

// Far more than a list of searches anyone types; a bound so a wrong file
// (a picture, a log) is refused instead of read into memory whole.
inline constexpr std::size_t kMaxKeywordFile = std::size_t{4} << 20;

// What -o holds in place of each keyword.
inline constexpr std::string_view kKeywordField = "{keyword}";

// A keyword as given (UTF-8, untrimmed) and where, for messages: empty for
// the command line, "FILE, line 3" for a keyword file.
struct GivenKeyword {
    std::string text;
    std::string where;
};

// The keywords of a keyword file's text, one a line: blank lines and lines
// whose first character after spaces is "#" are skipped, a line's spaces and
// a Windows line end are dropped, and so is a byte order mark at the start.
// `name` goes into each keyword's `where`.
std::vector<GivenKeyword> KeywordFileLines(std::string_view text, const std::string& name);

// The whole file `name` ("-": standard input), up to kMaxKeywordFile bytes;
// nullopt with `error`, which names the file, when it cannot be read or is
// larger.
std::optional<std::string> ReadKeywordFile(const std::string& name, std::string& error);

// The folder `out` names for `keyword` (both UTF-8): every kKeywordField
// replaced by the keyword as one folder name ("/" becomes "_"). nullopt with
// `why` when the keyword, taken as a path, would lead out of the folder that
// holds the first field, or onto it ("..", "../x", "a/.."): the folder of a
// search never lies outside the one the user named. `out` without the field
// is the folder itself.
std::optional<std::filesystem::path> KeywordFolder(std::string_view out, std::string_view keyword,
                                                   std::string& why);

}  // namespace lumigrab::cli
