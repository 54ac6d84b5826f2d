#pragma once
// What a run of lumigrab-cli was asked to do, read from its arguments.
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cli/downloads.h"
#include "text/text.h"
#include "harvest/session.h"
#include "workers/worker_gang.h"

namespace lumigrab::cli {

inline constexpr int kExitSaved = 0;
inline constexpr int kExitSomeFailed = 1;
inline constexpr int kExitBadArguments = 2;
inline constexpr int kExitNoResultArray = 3;
// Standard output could not be written: the run stopped there.
inline constexpr int kExitOutputFailed = 4;

// Far above what a picture host tolerates from one client; a bound so a typo
// cannot start thousands of threads.
inline constexpr int kMaxThreads = 100;
inline constexpr int kMaxDepth = 1000;
inline constexpr int kMaxSizeFilter = 1000000;
inline constexpr int kMaxWaitSeconds = 3600;
inline constexpr int kMaxRetries = 10;
// As many as the deepest run can list (a page lists at most 100,000).
inline constexpr int kMaxPictures = 100000000;

// One search of a run: its keyword and the folder its pictures go to.
struct KeywordRun {
    Text keyword;  // system text, trimmed, never empty
    std::filesystem::path folder;
};

struct Options {
    // Every search of the run, in order, each keyword once; empty only with
    // archiveStats. `keyword` and `outFolder` are the search at hand: the
    // first one's after parsing, and a run sets them to each in turn.
    std::vector<KeywordRun> keywords;
    Text keyword;          // system text, trimmed; never empty but with archiveStats
    int depth = 1;         // result pages, at least 1; with maxPictures and no -d, kMaxDepth
    int maxPictures = 0;   // stop once this many are saved; 0: no bound
    int threads = kDefaultWorkerLimit;
    Text namePrefix;       // system text
    int letters = 0;
    Text widthFilter;      // as the request carries them: both "0" unless both given
    Text heightFilter;
    bool thumbnails = false;
    std::filesystem::path outFolder;
    std::optional<std::filesystem::path> manifest;
    bool resume = false;
    bool listOnly = false;
    bool writeMetadata = false;  // <picture file>.json beside each saved picture
    bool quiet = false;
    bool warmUp = true;
    ResultSource source = ResultSource::Auto;
    double waitSeconds = 0;   // between result requests, spread over 0.5x to 1.5x
    int retries = 2;          // more tries for a busy or briefly unreachable host
    int perHost = 0;          // transfers to one host at once; 0: only -j limits them
    std::optional<std::filesystem::path> archive;
    bool archiveStats = false;  // print the archive's counts, and nothing else
    PictureRules rules;
    JsonFilters jsonFilters;
    std::string proxy;        // every request goes through it; empty: the proxy environment
    CookieJar cookies;        // from --cookies: the session starts with them
};

// The options, from the command line and the config files, or the exit code
// when the run ends here: 0 after --help or --version, kExitBadArguments
// after a message on stderr.
std::variant<Options, int> ParseOptions(int argc, char** argv);

}  // namespace lumigrab::cli
