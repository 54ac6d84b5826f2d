#include "cli/options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <string>

#include "cli/config.h"
#include "cli/keywords.h"
#include "harvest/random_letters.h"
#include "net/http_request.h"
#include "text/encoding.h"

namespace lumigrab::cli {
namespace {

// "😀 (U+1F600), é (U+00E9)"; control characters by number only.
std::string DescribeCharacters(const std::u32string& characters) {
    std::string out;
    for (char32_t c : characters) {
        if (!out.empty()) out += ", ";
        char code[16];
        std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
        if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
            out += code;
        } else {
            AppendUtf8(out, c);
            out += std::string(" (") + code + ")";
        }
    }
    return out;
}

bool HasControlCharacter(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
    return false;
}

// Numbers are read here, whole, before the parser converts them: an unsigned
// option would otherwise take "-1" as its largest value, and a range check
// lets "nan" through. Every refusal names the range.
std::string Span(long long low, long long high) { return std::to_string(low) + " to " + std::to_string(high); }
std::string RangeText(long long low, long long high) {
    return low == INT_MIN ? "up to " + std::to_string(high) : "from " + Span(low, high);
}

CLI::Validator WholeNumber(long long low, long long high, const std::string& note = {}) {
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            long long value = 0;
            const char* end = text.data() + text.size();
            const auto [stop, problem] = std::from_chars(text.data(), end, value);
            if (problem == std::errc() && stop == end && value >= low && value <= high) {
                text = std::to_string(value);
                return {};
            }
            return text + " is not a whole number " + RangeText(low, high) + note;
        },
        "");
}

CLI::Validator Seconds(int high) {
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            double value = 0;
            const char* end = text.data() + text.size();
            const auto [stop, problem] = std::from_chars(text.data(), end, value);
            if (problem == std::errc() && stop == end && std::isfinite(value) && value >= 0 && value <= high) {
                char exact[32];
                std::snprintf(exact, sizeof exact, "%.17g", value);
                text = exact;
                return {};
            }
            return text + " is not a number of seconds " + RangeText(0, high);
        },
        "");
}

int Refuse(const std::string& message) {
    std::fprintf(stderr, "lumigrab-cli: %s\n", message.c_str());
    return kExitBadArguments;
}

// System text for a UTF-8 argument, or why it cannot be one. Save names and
// the request both need GBK, so a character without a GBK form would turn
// into "?" instead of being searched for or written.
std::optional<Text> ToSystemText(std::string_view what, std::string_view utf8, std::string& why) {
    const std::u32string missing = CharactersWithoutGbk(utf8);
    if (!missing.empty()) {
        why = std::string(what) + " has characters that GBK cannot hold: " + DescribeCharacters(missing);
        return std::nullopt;
    }
    return Utf8ToGbk(utf8);
}

// The searches of a run, from the command line's keywords and then the
// keyword file's, each keyword once; the exit code after a message when one
// is refused. Every keyword is checked before any request, so a bad line
// late in a long file does not end the run half-way.
std::variant<std::vector<KeywordRun>, int> Searches(const std::vector<GivenKeyword>& given, const std::string& out,
                                                    bool outGiven) {
    std::vector<KeywordRun> searches;
    std::set<Text> seen;
    for (const GivenKeyword& keyword : given) {
        const std::string where = keyword.where.empty() ? std::string() : keyword.where + ": ";
        // Tabs, escapes and line breaks would break the tab-separated output
        // and the file names, and put terminal commands into messages.
        if (HasControlCharacter(keyword.text))
            return Refuse(where + "the keyword must be without control characters (tab, ESC, …)");
        std::string why;
        const auto text = ToSystemText("the keyword", keyword.text, why);
        if (!text) return Refuse(where + why);
        Text trimmed = TrimSpaces(*text);
        if (trimmed.empty()) return Refuse(where + "the keyword is empty");
        // A keyword given twice would only fetch its pictures again, into
        // the same names.
        if (seen.insert(trimmed).second) searches.push_back({std::move(trimmed), {}});
    }
    if (searches.size() > 1 && outGiven && out.find(kKeywordField) == std::string::npos)
        return Refuse("with several keywords the folder (-o) must hold " + std::string(kKeywordField) +
                      ", so that each keyword gets its own");
    std::map<std::filesystem::path, const KeywordRun*> folders;
    for (KeywordRun& search : searches) {
        std::string why;
        const std::string utf8 = GbkToUtf8(search.keyword);
        const auto folder = KeywordFolder(outGiven ? out : "./" + std::string(kKeywordField), utf8, why);
        if (!folder) return Refuse(why);
        search.folder = *folder;
        // Two keywords in one folder would write over each other's pictures.
        const auto [other, added] = folders.emplace(folder->lexically_normal(), &search);
        if (!added)
            return Refuse("the keywords \"" + GbkToUtf8(other->second->keyword) + "\" and \"" + utf8 +
                          "\" would share the folder " + folder->string());
    }
    return searches;
}

}  // namespace

std::variant<Options, int> ParseOptions(int argc, char** argv) {
    CLI::App app{
        "Collects the picture addresses Baidu image search lists for each KEYWORD and downloads "
        "the pictures, several at once.",
        "lumigrab-cli"};
    app.footer(
        "Exit codes: 0 every picture saved or passed over on purpose (skipped, duplicate, filtered);\n1 some failed (the count is printed); 2 bad "
        "arguments;\n3 the service answered without a result array (what came back is "
        "printed);\n4 standard output could not be written: the run stopped there, and the manifest was "
        "still written.\nWith several keywords the exit code is the worst of theirs; after a 3 the keywords left "
        "are not searched.\nCtrl-C stops starting downloads, ends those in flight and writes the "
        "manifest; a second Ctrl-C ends at once.");
    app.set_version_flag("--version", "lumigrab-cli " LUMIGRAB_VERSION);

    std::vector<std::string> keywords;
    std::string inputFile;
    int depth = 1;
    int threads = kDefaultWorkerLimit;
    std::string name = "img";
    int letters = 0;
    int width = 0;
    int height = 0;
    std::string out;
    std::string manifest;
    Options options;
    bool noWarmUp = false;

    // Not required by the parser: --archive-stats runs without one.
    app.add_option("KEYWORD", keywords,
                   "what to search for (UTF-8); several are searched one after another, sharing the "
                   "session, the archive and the manifest")
        ->type_name("");
    CLI::Option* inputOption =
        app.add_option("-i,--input-file", inputFile,
                       "more keywords, one a line (UTF-8; blank lines and lines starting with # are "
                       "skipped; - reads standard input)")
            ->type_name("FILE");
    CLI::Option* depthOption =
        app.add_option("-d,--depth", depth,
                       "result pages to read, up to 30 pictures each (" + Span(1, kMaxDepth) +
                           "; with --max, at most this many)")
            ->type_name("N")
            ->check(WholeNumber(1, kMaxDepth))
            ->capture_default_str();
    app.add_option("--max", options.maxPictures,
                   "save N pictures of each keyword: read result pages, downloading as they come in, "
                   "until N are saved (written; failed, filtered, skipped and duplicate ones do not "
                   "count), a page lists none, or -d pages (default " +
                       std::to_string(kMaxDepth) + ") are read (" + Span(1, kMaxPictures) + ")")
        ->type_name("N")
        ->check(WholeNumber(1, kMaxPictures));
    app.add_option("-j,--threads", threads, "downloads at once, up to " + std::to_string(kMaxThreads) + "; below 1 means 5")
        ->type_name("N")
        ->check(WholeNumber(INT_MIN, kMaxThreads, " (below 1 means 5)"))
        ->capture_default_str();
    app.add_option("-n,--name", name, "start of every file name")
        ->type_name("PREFIX")
        ->capture_default_str();
    app.add_option("--letters", letters, "random letters after the name (" + Span(0, kMaxRandomLetters) + ")")
        ->type_name("K")
        ->check(WholeNumber(0, kMaxRandomLetters))
        ->capture_default_str();
    CLI::Option* widthOption =
        app.add_option("--width", width, "only pictures this wide (with --height; " + Span(1, kMaxSizeFilter) + ")")
            ->type_name("W")
            ->check(WholeNumber(1, kMaxSizeFilter));
    CLI::Option* heightOption =
        app.add_option("--height", height, "only pictures this high (with --width; " + Span(1, kMaxSizeFilter) + ")")
            ->type_name("H")
            ->check(WholeNumber(1, kMaxSizeFilter));
    widthOption->needs(heightOption);
    heightOption->needs(widthOption);
    app.add_flag("--thumbnails", options.thumbnails,
                 "download the thumbnails instead of the full-size pictures");
    CLI::Option* outOption =
        app.add_option("-o,--out", out,
                       "folder for the pictures; {keyword} in it stands for each keyword as a folder "
                       "name (\"/\" becomes \"_\"), and must be there with several keywords (default "
                       "./{keyword})")
            ->type_name("DIR");
    CLI::Option* manifestOption = app.add_option(
        "--manifest", manifest, "write one JSON line per picture to FILE when the run ends")
        ->type_name("FILE");
    CLI::Option* resumeOption =
        app.add_flag("--resume", options.resume,
                     "with --manifest: fetch only what FILE does not list as ok (no new "
                     "harvest); a keyword FILE does not list is searched, and an absent FILE starts a "
                     "normal run");
    resumeOption->needs(manifestOption);
    CLI::Option* listOption = app.add_flag(
        "--list-only", options.listOnly,
        "print the records (name, address, width, height, thumbnail, source page, title, "
        "rank, page; tab-separated) and download nothing");
    listOption->excludes(manifestOption)->excludes(resumeOption)->excludes("--max");
    app.add_flag("--write-metadata", options.writeMetadata,
                 "beside each saved picture write <picture file>.json, its record as a --manifest "
                 "line has it (where it was found: source page, title, rank, page)")
        ->excludes(listOption);
    app.add_flag("-q,--quiet", options.quiet, "print only errors and the failure count");
    app.add_flag("--no-warm-up", noWarmUp,
                 "skip the front-page visit that gets session cookies before the search");
    const std::map<std::string, ResultSource> sources{
        {"auto", ResultSource::Auto}, {"page", ResultSource::Page}, {"json", ResultSource::Json}};
    app.add_option("--source", options.source,
                   "where results come from: page (the result page), json (the JSON endpoint) or "
                   "auto (the result page, then the JSON endpoint once a page comes without "
                   "results; the default)")
        ->type_name("auto|page|json")
        ->transform(CLI::CheckedTransformer(sources, CLI::ignore_case).description(""));
    app.add_option("--wait", options.waitSeconds,
                   "seconds between result-page requests, each pause spread over 0.5x to 1.5x (" +
                       Span(0, kMaxWaitSeconds) + "; default 0)")
        ->type_name("SECONDS")
        ->check(Seconds(kMaxWaitSeconds));
    app.add_option("--retries", options.retries,
                   "ask a host that answered 429 or 503, or dropped the connection, up to N more "
                   "times, waiting longer each time and at least as long as it asks, up to a minute; "
                   "one that asks for longer is not asked again (" +
                       Span(0, kMaxRetries) + "; default 2)")
        ->type_name("N")
        ->check(WholeNumber(0, kMaxRetries));
    app.add_option("--per-host", options.perHost,
                   "at most K picture transfers to one host at once (" + Span(1, kMaxThreads) +
                       "; default: only -j limits them)")
        ->type_name("K")
        ->check(WholeNumber(1, kMaxThreads));

    app.add_option("--proxy", options.proxy,
                   "send every request through this proxy (http://, https://, socks5:// or socks5h://, "
                   "where the proxy looks names up; user:password@ before the host if it asks), "
                   "whatever the proxy environment (https_proxy, no_proxy, ...) says")
        ->type_name("URL")
        ->check(CLI::Validator([](std::string& text) { return ProxyProblem(text); }, ""));
    std::string cookiesFile;
    CLI::Option* cookiesOption =
        app.add_option("--cookies", cookiesFile,
                       "send the cookies of FILE, a Netscape cookies.txt (as curl, wget, yt-dlp and "
                       "browser extensions write it), where a browser would send them")
            ->type_name("FILE");

    std::string archive;
    CLI::Option* archiveOption =
        app.add_option("--archive", archive,
                       "SQLite database of what was saved, shared across runs, keywords and copies "
                       "of the command at once: an address it holds is not fetched again "
                       "(skipped), a picture it holds by SHA-256 is not written again (duplicate)")
            ->type_name("FILE");
    app.add_flag("--archive-stats", options.archiveStats,
                 "with --archive: print its records counted by keyword and state, and nothing else")
        ->needs(archiveOption);
    app.add_option("--min-width", options.rules.minWidth, "keep only pictures at least W wide (filtered; " + Span(1, kMaxPictureSide) + ")")
        ->type_name("W")
        ->check(WholeNumber(1, kMaxPictureSide));
    app.add_option("--min-height", options.rules.minHeight, "keep only pictures at least H high (filtered; " + Span(1, kMaxPictureSide) + ")")
        ->type_name("H")
        ->check(WholeNumber(1, kMaxPictureSide));
    std::vector<std::string> types;
    const std::map<std::string, PictureFormat> formats{
        {"jpeg", PictureFormat::Jpeg}, {"jpg", PictureFormat::Jpeg}, {"png", PictureFormat::Png},
        {"gif", PictureFormat::Gif},   {"bmp", PictureFormat::Bmp},  {"ico", PictureFormat::Icon},
        {"cur", PictureFormat::Cursor}, {"pcx", PictureFormat::Pcx}};
    app.add_option("--type", types,
                   "keep only pictures of these formats, judged from their bytes: jpeg, png, gif, "
                   "bmp, ico, cur, pcx (filtered)")
        ->type_name("LIST")
        ->delimiter(',')
        ->check(CLI::IsMember(formats, CLI::ignore_case).description(""));
    // No picture is larger than the largest body a request takes.
    constexpr auto kMaxBytes = static_cast<long long>(kMaxResponseBody);
    app.add_option("--min-bytes", options.rules.minBytes,
                   "keep only pictures of at least N bytes (filtered; " + Span(0, kMaxBytes) + ")")
        ->type_name("N")
        ->check(WholeNumber(0, kMaxBytes));
    app.add_option("--max-bytes", options.rules.maxBytes,
                   "keep only pictures of at most N bytes (filtered; " + Span(1, kMaxBytes) + ")")
        ->type_name("N")
        ->check(WholeNumber(1, kMaxBytes));

    const std::map<std::string, int> colors{
        {"red", 1},     {"yellow", 2},  {"green", 4},   {"teal", 8},     {"brown", 12},
        {"blue", 16},   {"purple", 32}, {"pink", 64},   {"orange", 256}, {"black", 512},
        {"white", 1024}, {"black-and-white", 2048}};
    app.add_option("--color", options.jsonFilters.color,
                   "the service picks pictures of this colour: red, yellow, green, teal, brown, blue, "
                   "purple, pink, orange, black, white or black-and-white (JSON endpoint only)")
        ->type_name("NAME")
        ->transform(CLI::CheckedTransformer(colors, CLI::ignore_case).description(""));
    app.add_flag("--face", options.jsonFilters.face,
                 "the service picks portraits (JSON endpoint only)");
    const std::map<std::string, JsonFilters::Kind> kinds{{"clipart", JsonFilters::Kind::Clipart},
                                                         {"linedrawing", JsonFilters::Kind::LineDrawing},
                                                         {"animated", JsonFilters::Kind::Animated},
                                                         {"static", JsonFilters::Kind::Static}};
    app.add_option("--kind", options.jsonFilters.kind,
                   "the service picks pictures of this kind (JSON endpoint only)")
        ->type_name("clipart|linedrawing|animated|static")
        ->transform(CLI::CheckedTransformer(kinds, CLI::ignore_case).description(""));

    std::vector<std::string> args = AddConfigFiles(app, argc, argv, DefaultConfigFile());
    try {
        std::reverse(args.begin(), args.end());  // the parser takes them last first
        app.parse(std::move(args));
    } catch (const CLI::ParseError& e) {
        // --help and --version end here too, on stdout.
        if (e.get_exit_code() == 0) return app.exit(e);
        // Usage errors read like the command's other messages.
        std::fprintf(stderr, "lumigrab-cli: %s\nRun with --help for more information.\n", e.what());
        return kExitBadArguments;
    }

    if (archiveOption->count() > 0) {
        if (archive.empty()) return Refuse("the archive (--archive) is an empty name");
        options.archive = archive;
    }
    if (cookiesOption->count() > 0) {
        if (cookiesFile.empty()) return Refuse("the cookies file (--cookies) is an empty name");
        if (std::string problem = ReadCookiesFile(cookiesFile, options.cookies); !problem.empty())
            return Refuse(problem);
    }
    for (const std::string& type : types) {
        std::string lower;
        for (char c : type) lower += AsciiLower(c);
        const PictureFormat format = formats.at(lower);
        if (std::find(options.rules.types.begin(), options.rules.types.end(), format) == options.rules.types.end())
            options.rules.types.push_back(format);
    }
    if (options.archiveStats) return options;
    std::vector<GivenKeyword> given;
    for (std::string& keyword : keywords) given.push_back({std::move(keyword), {}});
    if (inputOption->count() > 0) {
        std::string error;
        const auto text = ReadKeywordFile(inputFile, error);
        if (!text) return Refuse(error);
        const std::string shown = inputFile == "-" ? std::string("- (standard input)") : inputFile;
        std::vector<GivenKeyword> lines = KeywordFileLines(*text, shown);
        if (lines.empty()) return Refuse("the keyword file " + shown + " holds no keyword");
        given.insert(given.end(), std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()));
    }
    if (given.empty()) {
        std::fprintf(stderr, "lumigrab-cli: KEYWORD or --input-file is required\nRun with --help for more information.\n");
        return kExitBadArguments;
    }
    if (outOption->count() > 0 && out.empty()) return Refuse("the folder (-o) is an empty name");
    auto searches = Searches(given, out, outOption->count() > 0);
    if (const int* code = std::get_if<int>(&searches)) return *code;
    options.keywords = std::move(std::get<std::vector<KeywordRun>>(searches));
    options.keyword = options.keywords.front().keyword;
    options.outFolder = options.keywords.front().folder;

    std::string why;
    const auto nameText = ToSystemText("the name (-n)", name, why);
    if (!nameText) return Refuse(why);
    // The name becomes part of a file name inside the folder, never a path.
    if (nameText->empty() || name.find('/') != std::string::npos ||
        name.find("..") != std::string::npos || HasControlCharacter(name))
        return Refuse("the name (-n) must be non-empty, without \"/\", \"..\" or control characters (tab, ESC, …)");
    options.namePrefix = *nameText;

    options.threads = WorkerLimit(threads);
    // Open-ended, but bounded: a service that never runs out of pages
    // still ends the run.
    options.depth = options.maxPictures > 0 && depthOption->count() == 0 ? kMaxDepth : depth;
    options.letters = letters;
    const bool filtered = widthOption->count() > 0 && heightOption->count() > 0;
    options.widthFilter = filtered ? std::to_string(width) : "0";
    options.heightFilter = filtered ? std::to_string(height) : "0";
    options.warmUp = !noWarmUp;
    if (manifestOption->count() > 0) {
        if (manifest.empty()) return Refuse("the manifest (--manifest) is an empty name");
        options.manifest = manifest;
    }
    return options;
}

}  // namespace lumigrab::cli
