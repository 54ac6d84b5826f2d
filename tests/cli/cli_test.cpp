// lumigrab-cli as a user runs it: the real binary, reaching the stand-in
// through https_proxy exactly as `make demo` wires the window program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child.h"
#include "support/eventually.h"
#include "support/files.h"
#include "json/json_document.h"
#include "text/encoding.h"
#include "tools/standin/standin.h"

namespace lumigrab::cli {
std::string Query(const std::filesystem::path& file, const std::string& sql);  // parts_test.cpp
}

namespace lumigrab::standin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kProgram = LUMIGRAB_CLI_PROGRAM;

testing::Environment ThroughStandin(const StandinServer& server) {
    testing::Environment env = testing::CurrentEnvironment();
    for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
        env = testing::Without(env, name);
    env = testing::With(env, "https_proxy", server.proxyUrl());
    env = testing::With(env, "HTTPS_PROXY", server.proxyUrl());
    env = testing::With(env, "no_proxy", "127.0.0.1,localhost");
    // A config file of the user's would change what the tests ask for.
    env = testing::With(env, "XDG_CONFIG_HOME", "/nonexistent/lumigrab-tests");
    return testing::With(env, "NO_PROXY", "127.0.0.1,localhost");
}

using ::testing::HasSubstr;
using testing::ReadText;
using testing::TempFolder;

struct ManifestLine {
    std::string path, url, state, reason, sha256;
    std::string sourcePage, title, rank, page, text;  // text: the whole line
};

// Every line must be one JSON object; a line that is not fails the test.
std::vector<ManifestLine> ReadManifest(const fs::path& file) {
    std::vector<ManifestLine> lines;
    std::istringstream in(ReadText(file));
    std::string text;
    while (std::getline(in, text)) {
        JsonDocument json;
        if (!json.Parse(Utf8ToGbk(text)) || json.TypeOf("") != 4) {
            ADD_FAILURE() << "not a JSON object: " << text;
            continue;
        }
        lines.push_back({GbkToUtf8(json.GetText("path")), GbkToUtf8(json.GetText("url")), json.GetText("state"),
                         json.GetText("reason"), json.GetText("sha256"), GbkToUtf8(json.GetText("source_page")),
                         GbkToUtf8(json.GetText("title")), json.GetText("rank"), json.GetText("page"), text});
    }
    return lines;
}

std::vector<fs::path> FilesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& item : fs::directory_iterator(folder, ec)) files.push_back(item.path());
    return files;
}

// Five pictures, the fourth an HTML page (kinds by index: jpeg png gif html jpeg).
StandinOptions OneHtmlAmongFive() {
    StandinOptions options;
    options.kindCycle = {PictureKind::Jpeg, PictureKind::Png, PictureKind::Gif, PictureKind::Html,
                         PictureKind::Jpeg};
    options.elementVariants = false;
    return options;
}
constexpr const char* kFiveKeyword = "standin-total-5";

class CliTest : public ::testing::Test {
protected:
    testing::ToolResult run(const StandinServer& server, std::vector<std::string> args) {
        args.insert(args.begin(), kProgram);
        return testing::RunTool(args, ThroughStandin(server), 60s, true);
    }
    fs::path out() const { return folder_.path() / "out"; }
    fs::path manifest() const { return folder_.path() / "run.jsonl"; }

    TempFolder folder_{"lumigrab-cli"};
};

// Each record also says where the service found it, in the manifest and
// beside each saved picture.
TEST_F(CliTest, HtmlBodyAmongPicturesFailsItsRecordAndTheOthersAreSavedAsServed) {
    StandinServer server(OneHtmlAmongFive());
    const auto result = run(server, {kFiveKeyword, "-o", out().string(), "--manifest",
                                     manifest().string(), "--write-metadata"});
    EXPECT_EQ(result.exitCode, 1) << result.output;
    EXPECT_NE(result.output.find("1 of 5 pictures failed"), std::string::npos) << result.output;

    const auto lines = ReadManifest(manifest());
    ASSERT_EQ(lines.size(), 5u);
    int saved = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const ManifestLine& line = lines[i];
        const std::string n = std::to_string(i + 1);
        EXPECT_EQ(line.sourcePage, "http://www.example.com/gallery/" + std::to_string(i) + ".html");
        EXPECT_EQ(line.title, std::string(kFiveKeyword) + "的图片 第" + n + "张 - Lumi's gallery");
        EXPECT_EQ(line.rank, n);
        EXPECT_EQ(line.page, "0");
        if (line.url.find("/pic/html/") != std::string::npos) {
            EXPECT_EQ(line.state, "failed");
            EXPECT_EQ(line.reason, "not a picture");
            EXPECT_FALSE(fs::exists(line.path));
            EXPECT_FALSE(fs::exists(line.path + ".json"));
            continue;
        }
        EXPECT_EQ(ReadText(line.path + ".json"), line.text + "\n");
        ASSERT_EQ(line.state, "ok") << line.url;
        const Bytes served = server.expectedBody(line.url);
        EXPECT_EQ(ReadText(line.path), std::string(served.begin(), served.end())) << line.path;
        EXPECT_EQ(line.sha256.size(), 64u);
        ++saved;
    }
    EXPECT_EQ(saved, 4);
}

// Not ok, or ok but its file is gone or no longer the size it was.
TEST_F(CliTest, ResumeFetchesOnlyTheRecordsThatAreNotDone) {
    StandinServer server(OneHtmlAmongFive());
    run(server, {kFiveKeyword, "-o", out().string(), "--manifest", manifest().string()});
    server.resetCounters();
    fs::remove(out() / "img 1.jpg");                // the jpeg
    fs::resize_file(out() / "img 2.jpg", 10);       // the png

    const auto result = run(server, {kFiveKeyword, "-o", out().string(), "--manifest",
                                     manifest().string(), "--resume"});
    EXPECT_EQ(result.exitCode, 1) << result.output;
    EXPECT_EQ(server.pageRequests(), 0);
    EXPECT_EQ(server.pictureRequests(), 3);
    EXPECT_EQ(server.hitsUnder("/pic/html/"), 1);
    EXPECT_EQ(server.hitsUnder("/pic/jpeg/"), 1);
    EXPECT_EQ(server.hitsUnder("/pic/png/"), 1);
    EXPECT_EQ(ReadManifest(manifest()).size(), 5u);
}

// Every listed picture a whole JPEG, so every record of a run is ok.
StandinOptions AllJpeg() {
    StandinOptions options;
    options.kindCycle = {PictureKind::Jpeg};
    options.elementVariants = false;
    return options;
}

// --max N: exactly N saved, and the last page asked was needed (one page
// fewer, read whole, does not hold N); records past the N-th are left out.
// Resumed, what is still saved counts towards N.
TEST_F(CliTest, MaxSavesExactlyNAndAsksNoPageItDidNotNeed) {
    const auto okLines = [](const fs::path& file) {
        const auto lines = ReadManifest(file);
        return std::count_if(lines.begin(), lines.end(), [](const ManifestLine& l) { return l.state == "ok"; });
    };
    StandinServer server;
    const auto result = run(server, {"standin-total-300", "--max", "45", "-j", "3", "-o", out().string(),
                                     "--manifest", manifest().string()});
    EXPECT_EQ(FilesIn(out()).size(), 45u) << result.output;
    EXPECT_EQ(okLines(manifest()), 45);
    const int pages = server.pageRequests();
    ASSERT_GT(pages, 1);
    EXPECT_LT(pages, 10);
    StandinServer fewer;
    run(fewer, {"standin-total-300", "-d", std::to_string(pages - 1), "-o", (folder_.path() / "fewer").string(),
                "--manifest", (folder_.path() / "fewer.jsonl").string()});
    EXPECT_LT(okLines(folder_.path() / "fewer.jsonl"), 45);

    const auto lines = ReadManifest(manifest());
    const auto firstOk = std::find_if(lines.begin(), lines.end(), [](const ManifestLine& l) { return l.state == "ok"; });
    ASSERT_NE(firstOk, lines.end());
    ASSERT_TRUE(fs::remove(firstOk->path));
    server.resetCounters();
    run(server, {"standin-total-300", "--max", "45", "-o", out().string(), "--manifest", manifest().string(),
                 "--resume"});
    EXPECT_EQ(okLines(manifest()), 45);
    EXPECT_EQ(ReadManifest(manifest()).size(), lines.size());
    EXPECT_EQ(server.pageRequests(), 0);
    EXPECT_EQ(FilesIn(out()).size(), 45u);

    // N exactly what the first page lists, every one a picture: that page is all it asks.
    StandinServer good(AllJpeg());
    const auto listed = good.listing("standin-total-300", 0);
    const auto first = std::count_if(listed.begin(), listed.end(), [](const PageElement& e) { return !e.objURL.empty(); });
    run(good, {"standin-total-300", "--max", std::to_string(first), "-o", (folder_.path() / "exact").string()});
    EXPECT_EQ(FilesIn(folder_.path() / "exact").size(), static_cast<std::size_t>(first));
    EXPECT_EQ(good.pageRequests(), 1);
}

TEST_F(CliTest, SharedAddressIsFetchedOnceAndSavedUnderEveryName) {
    StandinServer server;
    const auto result = run(server, {"standin-duplicates", "-o", out().string()});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(server.pictureRequests(), 1);
    const auto files = FilesIn(out());
    ASSERT_EQ(files.size(), static_cast<std::size_t>(kPageSize));
    for (const fs::path& file : files) EXPECT_EQ(ReadText(file), ReadText(files.front()));
}

TEST_F(CliTest, PageWithoutResultArrayExitsThreeShowingWhereItWasSentAndTheTitle) {
    StandinServer server;
    const auto result = run(server, {"standin-refused", "-o", out().string()});
    EXPECT_EQ(result.exitCode, 3) << result.output;
    EXPECT_NE(result.output.find("HTTP 302 to https://image.baidu.com" + std::string(kVerifyPath)),
              std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find(kVerifyTitle), std::string::npos) << result.output;
    EXPECT_EQ(server.pictureRequests(), 0);
}

// A refusal is never an empty result: exit 3, in the service's own words.
TEST_F(CliTest, RefusalsExitThreeInTheServicesWords) {
    StandinServer server;
    for (const auto& [keyword, words] : std::vector<std::pair<std::string, std::string>>{
             {"standin-403", "HTTP 403"},
             {"standin-gone-antiflag", "Forbid spider access"},
             {"standin-gone-verify", std::string(kVerifyTitle)}}) {
        const auto result = run(server, {keyword, "-o", out().string(), "--retries", "0"});
        EXPECT_EQ(result.exitCode, 3) << keyword << ": " << result.output;
        EXPECT_NE(result.output.find("refused the search: page 1: " + words), std::string::npos)
            << keyword << ": " << result.output;
    }
    EXPECT_EQ(server.pictureRequests(), 0);
}

// Where result pages are gone, the JSON endpoint lists what they did.
TEST_F(CliTest, GoneResultPagesAreReadFromTheJsonEndpoint) {
    StandinServer server(OneHtmlAmongFive());
    const auto result = run(server, {"standin-gone", "--list-only", "-d", "2"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find(server.pictureUrl(PictureKind::Png, 1)), std::string::npos) << result.output;
    // Each line ends with where the picture was found: its page, title, rank
    // over the run's pages and page; the endpoint's ciphered page deciphered.
    for (const std::string tail : {"/gallery/0.html\tstandin-gone - Lumi's gallery\t1\t0\n",
                                   "/gallery/30.html\tstandin-gone - Lumi's gallery\t31\t1\n"})
        EXPECT_NE(result.output.find("\thttp://www.example.com" + tail), std::string::npos) << tail;
    const auto paged = run(server, {"standin-gone", "--list-only", "--source", "page"});
    EXPECT_EQ(paged.exitCode, 3) << paged.output;
}

TEST_F(CliTest, WarmUpCookiesGoWithTheResultPageRequest) {
    StandinOptions options;
    options.recordRawRequests = true;
    StandinServer server(options);
    const auto result = run(server, {"standin-total-3", "--list-only"});
    ASSERT_EQ(result.exitCode, 0) << result.output;

    bool sawFrontPage = false;
    int pages = 0;
    for (const RecordedRequest& request : server.requests()) {
        if (request.pathAndQuery == "/") sawFrontPage = true;
        if (!request.pathAndQuery.starts_with("/search/flip")) continue;
        ++pages;
        EXPECT_TRUE(sawFrontPage) << "result page asked before the front page";
        std::string cookie;
        for (const auto& [name, value] : request.headers)
            if (name == "Cookie") cookie = value;
        EXPECT_NE(cookie.find(kSessionCookie), std::string::npos) << request.raw;
    }
    EXPECT_EQ(pages, 1);
}

// --proxy wins over a proxy environment that leads nowhere, and over a
// no_proxy that would send the service around it; the cookies file's cookie
// goes with every result-page request, beside the front page's when there
// was a visit.
TEST_F(CliTest, ProxyAndCookiesFileReachTheService) {
    const fs::path cookies = folder_.path() / "cookies.txt";
    const std::string text = "# Netscape HTTP Cookie File\n.baidu.com\tTRUE\t/\tTRUE\t0\tfromfile\tyes\n"
                             "other.example\tFALSE\t/\tFALSE\t0\telsewhere\tno\n";
    ASSERT_TRUE(testing::WriteFile(cookies, std::vector<std::uint8_t>(text.begin(), text.end())));
    for (const bool warmUp : {true, false}) {
        StandinOptions options;
        options.recordRawRequests = true;
        StandinServer server(options);
        testing::Environment env = ThroughStandin(server);
        for (const char* name : {"https_proxy", "HTTPS_PROXY"}) env = testing::With(env, name, "http://127.0.0.1:1");
        for (const char* name : {"no_proxy", "NO_PROXY"}) env = testing::With(env, name, "baidu.com");
        std::vector<std::string> args{kProgram, "standin-total-3", "--list-only", "--proxy", server.proxyUrl(),
                                      "--cookies", cookies.string()};
        if (!warmUp) args.push_back("--no-warm-up");
        const auto result = testing::RunTool(args, env, 60s, true);
        ASSERT_EQ(result.exitCode, 0) << result.output;

        int pages = 0;
        for (const RecordedRequest& request : server.requests()) {
            if (!request.pathAndQuery.starts_with("/search/flip")) continue;
            ++pages;
            std::string cookie;
            for (const auto& [name, value] : request.headers)
                if (name == "Cookie") cookie = value;
            EXPECT_THAT(cookie, HasSubstr("fromfile=yes")) << request.raw;
            EXPECT_EQ(cookie.find(kSessionCookie) != std::string::npos, warmUp) << request.raw;
            EXPECT_THAT(cookie, ::testing::Not(HasSubstr("elsewhere"))) << request.raw;
        }
        EXPECT_EQ(pages, 1) << (warmUp ? "with" : "without") << " the front-page visit";
    }
}

// How a stop reaches the run: the signal the shell left ignored ("": none),
// then the signals sent, a moment apart.
struct StopCase {
    const char* name;
    const char* ignored;
    std::vector<int> signals;
    int exitCode;
};
void PrintTo(const StopCase& c, std::ostream* out) { *out << c.name; }

class CliStopTest : public CliTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(CliStopTest, TransfersEndWithoutPartialFilesAndTheManifestIsWhole) {
    const StopCase& c = GetParam();
    StandinOptions options;
    options.kindCycle = {PictureKind::Slow};
    options.slowDelay = 5000ms;
    StandinServer server(options);
    std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" \"$@\"", kProgram, "standin-total-3",
                                  "-j", "1", "-o", out().string(), "--manifest", manifest().string()};
    // As nohup and `&` in a script leave it.
    if (*c.ignored != 0) argv[2] = "trap '' " + std::string(c.ignored) + "; " + argv[2];
    testing::Child child(argv, ThroughStandin(server));
    ASSERT_GT(child.pid(), 0);
    testing::Eventually([&] { return server.currentPictures() != 0; }, 10s);
    ASSERT_EQ(server.currentPictures(), 1);

    for (std::size_t i = 0; i < c.signals.size(); ++i) {
        // Apart enough that each is taken on its own, not merged into one.
        if (i > 0) std::this_thread::sleep_for(50ms);
        child.signal(c.signals[i]);
    }
    EXPECT_EQ(child.waitExit(30s), c.exitCode);
    EXPECT_EQ(server.pictureRequests(), 1);
    EXPECT_TRUE(FilesIn(out()).empty());
    const auto lines = ReadManifest(manifest());
    ASSERT_EQ(lines.size(), 3u);
    for (const ManifestLine& line : lines) {
        EXPECT_EQ(line.state, "failed");
        EXPECT_EQ(line.reason, "stopped");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Signals, CliStopTest,
    ::testing::Values(StopCase{"Interrupt", "", {SIGINT}, 128 + SIGINT},
                      // timeout(1) signals the process, then its group.
                      StopCase{"SameSignalTwiceFromOneSender", "", {SIGTERM, SIGTERM}, 128 + SIGTERM},
                      StopCase{"HangUpIgnoredByNohup", "HUP", {SIGHUP, SIGTERM}, 128 + SIGTERM},
                      StopCase{"InterruptIgnoredInBackground", "INT", {SIGINT, SIGTERM}, 128 + SIGTERM}),
    [](const auto& info) { return std::string(info.param.name); });

// The watcher tells of the stop before the run can end on it.
TEST_F(CliTest, StopDuringTheHarvestIsToldInTheOrderItHappens) {
    StandinServer server;
    testing::Child child({"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", kProgram, "standin-total-60", "-d", "2",
                          "-j", "1", "--wait", "60", "--no-warm-up", "--list-only"},
                         ThroughStandin(server), {.captureStdout = true});
    // Page 1 answered, page 2 not yet due: the harvest is in its pause.
    testing::Eventually([&] { return server.pageRequests() == 1; }, 10s);
    std::this_thread::sleep_for(200ms);
    child.signal(SIGINT);
    EXPECT_EQ(child.waitExit(30s), 128 + SIGINT);
    EXPECT_EQ(child.readLine(5s).rfind("lumigrab-cli: stopping: ", 0), 0u);
    EXPECT_EQ(child.readLine(5s), "lumigrab-cli: stopped during the harvest; nothing was downloaded");
}

TEST_F(CliTest, TemporaryFilesOfRunsThatAreGoneAreRemoved) {
    StandinServer server;
    testing::Child ended({"true"});
    ASSERT_EQ(ended.waitExit(10s), 0);
    const std::string stale = ".lumigrab-" + std::to_string(ended.pid()) + "-00000000000000aa.part";
    const std::string live = ".lumigrab-" + std::to_string(::getpid()) + "-00000000000000bb.part";
    fs::create_directories(out());
    ASSERT_TRUE(testing::WriteFile(out() / stale, {1}));
    ASSERT_TRUE(testing::WriteFile(out() / live, {2}));

    const auto result = run(server, {"standin-total-1", "-o", out().string()});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_FALSE(fs::exists(out() / stale));
    EXPECT_TRUE(fs::exists(out() / live));
}

// A manifest that came from elsewhere: one record of the standin's first
// picture, its fields replaced as the case says.
struct HostileManifestCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> fields;  // JSON values, by member
    const char* message;
};
void PrintTo(const HostileManifestCase& c, std::ostream* out) { *out << c.name; }

class CliHostileManifestTest : public CliTest, public ::testing::WithParamInterface<HostileManifestCase> {};

TEST_P(CliHostileManifestTest, RefusedAndNothingIsWritten) {
    const HostileManifestCase& c = GetParam();
    StandinServer server;
    const fs::path victim = folder_.path() / "victim" / "notes.txt";
    fs::create_directories(victim.parent_path());
    ASSERT_TRUE(testing::WriteFile(victim, {'k', 'e', 'e', 'p'}));

    std::vector<std::pair<std::string, std::string>> fields{
        {"save_name", "\"img 1\""},
        {"path", "\"" + (out() / "img 1.jpg").string() + "\""},
        {"url", "\"" + server.pictureUrl(PictureKind::Jpeg, 1) + "\""},
        {"state", "\"failed\""},
        {"reason", "\"stopped\""},
        {"keyword", "\"cat\""},
        {"folder", "\"" + out().string() + "\""}};
    for (const auto& [member, value] : c.fields) {
        const auto found = std::find_if(fields.begin(), fields.end(), [&](const auto& f) { return f.first == member; });
        if (value.empty()) {
            fields.erase(found);
        } else {
            found->second = value;
        }
    }
    std::string line = "{";
    for (const auto& [member, value] : fields) line += (line.size() > 1 ? "," : "") + ("\"" + member + "\":" + value);
    line += "}\n";
    ASSERT_TRUE(testing::WriteFile(manifest(), std::vector<std::uint8_t>(line.begin(), line.end())));

    const auto result = run(server, {"cat", "-o", out().string(), "--manifest", manifest().string(), "--resume"});
    EXPECT_EQ(result.exitCode, 2) << result.output;
    EXPECT_NE(result.output.find(c.message), std::string::npos) << result.output;
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_EQ(ReadText(victim), "keep");
    EXPECT_FALSE(fs::exists(out() / "img 1.jpg"));
}

INSTANTIATE_TEST_SUITE_P(
    Records, CliHostileManifestTest,
    ::testing::Values(
        HostileManifestCase{"PathOutsideTheFolder", {{"path", "\"/tmp/victim/notes.txt\""}}, "lies outside"},
        HostileManifestCase{"PathClimbingOut", {{"path", "\"../victim/x.jpg\""}}, "lies outside"},
        HostileManifestCase{"SaveNameWithSlash", {{"save_name", "\"../victim/notes\""}}, "holds \"/\""},
        HostileManifestCase{"SaveNameWithParentStep", {{"save_name", "\"..\""}}, "holds \"..\""},
        HostileManifestCase{"OtherKeyword", {{"keyword", "\"dog\""}}, "made for the keyword \"dog\""},
        HostileManifestCase{"OtherFolder", {{"folder", "\"/tmp/victim\""}}, "go to /tmp/victim"},
        HostileManifestCase{"OldRecordOutsideTheFolder",
                            {{"keyword", ""}, {"folder", ""}, {"path", "\"/tmp/victim/notes.txt\""}},
                            "lies outside"},
        HostileManifestCase{"NestedValue", {{"reason", "{\"path\":\"/tmp/victim/notes.txt\"}"}},
                            "\"reason\" is not a string, a number or null"},
        HostileManifestCase{"ZeroInText", {{"save_name", "\"img\\u0000/../victim/notes\""}},
                            "zero character in \"save_name\""}),
    [](const auto& info) { return std::string(info.param.name); });

// Arguments the run refuses before its first request. `args` gets the
// scratch folder; `prepare` sets it up.
struct RefusedCase {
    const char* name;
    std::vector<std::string> (*args)(const fs::path& scratch);
    const char* message;  // "@" stands for the scratch folder
    void (*prepare)(const fs::path& scratch) = nullptr;
};
void PrintTo(const RefusedCase& c, std::ostream* out) { *out << c.name; }

class CliRefusedTest : public CliTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(CliRefusedTest, ExitsTwoNamingWhatIsWrongBeforeAnyRequest) {
    const RefusedCase& c = GetParam();
    StandinServer server;
    if (c.prepare != nullptr) c.prepare(folder_.path());
    std::string message = c.message;
    if (const auto at = message.find('@'); at != std::string::npos) message.replace(at, 1, folder_.path().string());

    const auto result = run(server, c.args(folder_.path()));
    EXPECT_EQ(result.exitCode, 2) << result.output;
    EXPECT_NE(result.output.find(message), std::string::npos) << result.output;
    EXPECT_EQ(result.output.rfind("lumigrab-cli: ", 0), 0u) << result.output;
    EXPECT_EQ(server.requestCount(), 0u);
}

const std::string kLong(300, 'a');

INSTANTIATE_TEST_SUITE_P(
    Arguments, CliRefusedTest,
    ::testing::Values(
        RefusedCase{"LongKeyword", [](const fs::path&) { return std::vector<std::string>{kLong}; },
                    "the folder ./aaaa"},
        RefusedCase{"LongFolder",
                    [](const fs::path& s) { return std::vector<std::string>{"cat", "-o", (s / kLong).string()}; },
                    "@/aaaa"},
        RefusedCase{"FolderInASymlinkLoop",
                    [](const fs::path& s) { return std::vector<std::string>{"cat", "-o", (s / "loop").string()}; },
                    "@/loop: Too many levels of symbolic links",
                    [](const fs::path& s) { fs::create_symlink("loop", s / "loop"); }},
        RefusedCase{"FolderIsAFile",
                    [](const fs::path& s) { return std::vector<std::string>{"cat", "-o", (s / "file").string()}; },
                    "@/file (-o) is not a folder",
                    [](const fs::path& s) { testing::WriteFile(s / "file", {1}); }},
        RefusedCase{"FolderNotWritable",
                    [](const fs::path&) { return std::vector<std::string>{"cat", "-o", "/proc/1/cats"}; },
                    "cannot make the folder /proc/1/cats: /proc/1"},
        RefusedCase{"ManifestFolderNotWritable",
                    [](const fs::path& s) {
                        return std::vector<std::string>{"cat", "-o", (s / "out").string(), "--manifest", "/proc/1/run.jsonl"};
                    },
                    "cannot write the manifest /proc/1/run.jsonl"},
        RefusedCase{"ManifestIsAFifo",
                    [](const fs::path& s) {
                        return std::vector<std::string>{"cat", "-o", (s / "out").string(), "--manifest",
                                                        (s / "fifo").string(), "--resume"};
                    },
                    "the manifest @/fifo is not a regular file",
                    [](const fs::path& s) { ::mkfifo((s / "fifo").c_str(), 0600); }},
        RefusedCase{"ManifestEmptyName",
                    [](const fs::path&) { return std::vector<std::string>{"cat", "--manifest", ""}; },
                    "the manifest (--manifest) is an empty name"},
        RefusedCase{"TabInKeyword", [](const fs::path&) { return std::vector<std::string>{"c\tat", "--list-only"}; },
                    "the keyword must be without control characters"},
        RefusedCase{"EscapeInKeyword",
                    [](const fs::path&) { return std::vector<std::string>{"c\x1b[2Jat", "--list-only"}; },
                    "the keyword must be without control characters"},
        RefusedCase{"ConfigFileMissing",
                    [](const fs::path& s) {
                        return std::vector<std::string>{"cat", "--config", (s / "lumigrab.toml").string()};
                    },
                    "@/lumigrab.toml"},
        RefusedCase{"CookiesFileMalformed",
                    [](const fs::path& s) { return std::vector<std::string>{"cat", "--cookies", (s / "c.txt").string()}; },
                    "the cookies file @/c.txt, line 2: expected 7 fields",
                    [](const fs::path& s) {
                        const std::string text = "# cookies\nexample.com TRUE / FALSE 0 s 1\n";
                        testing::WriteFile(s / "c.txt", std::vector<std::uint8_t>(text.begin(), text.end()));
                    }},
        RefusedCase{"UsageError",
                    [](const fs::path&) { return std::vector<std::string>{"cat", "--depth", "many"}; },
                    "--depth"}),
    [](const auto& info) { return std::string(info.param.name); });


int CountState(const std::vector<ManifestLine>& lines, const std::string& state) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [&](const ManifestLine& line) { return line.state == state; }));
}

// Each keyword gets its folder and its count line, the front page is
// visited once, and one manifest holds them all; a resume takes each keyword
// up from its own records and searches the one the manifest lacks.
TEST_F(CliTest, TwoKeywordsThroughTheRealCommand) {
    StandinServer server(AllJpeg());
    const std::string folders = (out() / "{keyword}").string();
    const auto result = run(server, {"standin-total-4", "standin-total-3", "-o", folders, "--manifest",
                                     manifest().string()});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(server.hitCount("/"), 1);
    EXPECT_EQ(FilesIn(out() / "standin-total-4").size(), 4u);
    EXPECT_EQ(FilesIn(out() / "standin-total-3").size(), 3u);
    EXPECT_THAT(result.output, HasSubstr("standin-total-3: saved 3 pictures in " + (out() / "standin-total-3").string() + "\n"));
    EXPECT_THAT(result.output, HasSubstr("all 2 keywords: 7 of 7 pictures saved\n"));
    const auto lines = ReadManifest(manifest());
    ASSERT_EQ(lines.size(), 7u);
    for (std::size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(fs::path(lines[i].path).parent_path(), out() / (i < 4 ? "standin-total-4" : "standin-total-3"));

    server.resetCounters();
    fs::remove(out() / "standin-total-3" / "img 2.jpg");
    const auto resumed = run(server, {"standin-total-4", "standin-total-3", "standin-total-2", "-o", folders,
                                      "--manifest", manifest().string(), "--resume"});
    EXPECT_EQ(resumed.exitCode, 0) << resumed.output;
    EXPECT_EQ(server.pageRequests(), 1);
    EXPECT_EQ(server.pictureRequests(), 1 + 2);
    EXPECT_THAT(resumed.output, HasSubstr("standin-total-3: resuming " + manifest().string() + ": 1 picture of 3"));
    EXPECT_EQ(ReadManifest(manifest()).size(), 9u);

    // Every record must belong to one of the run's keywords.
    const auto other = run(server, {"standin-total-4", "standin-total-2", "-o", folders, "--manifest",
                                    manifest().string(), "--resume"});
    EXPECT_EQ(other.exitCode, 2) << other.output;
    EXPECT_THAT(other.output, HasSubstr("made for the keyword \"standin-total-3\", not one of this run's"));
}

// The run's exit code is its worst keyword's, and a refusal leaves the
// keywords after it unasked.
TEST_F(CliTest, KeywordsEndWithTheWorstOutcomeAndARefusalEndsThem) {
    StandinServer server(OneHtmlAmongFive());
    const std::string folders = (out() / "{keyword}").string();
    const auto refused = run(server, {kFiveKeyword, "standin-403", "standin-total-3", "-o", folders, "--retries",
                                      "0", "--manifest", manifest().string()});
    EXPECT_EQ(refused.exitCode, 3) << refused.output;
    EXPECT_EQ(server.pageRequests(), 2);
    EXPECT_THAT(refused.output, HasSubstr(std::string(kFiveKeyword) + ": 1 of 5 pictures failed\n"));
    EXPECT_THAT(refused.output, HasSubstr("standin-403: the service refused the search: page 1: HTTP 403"));
    EXPECT_THAT(refused.output, HasSubstr("all 3 keywords: 4 of 5 pictures saved, 1 failed; 1 keyword not searched\n"));
    EXPECT_EQ(ReadManifest(manifest()).size(), 5u);

    const auto failed = run(server, {kFiveKeyword, "standin-total-3", "-o", folders});
    EXPECT_EQ(failed.exitCode, 1) << failed.output;
    EXPECT_THAT(failed.output, HasSubstr("all 2 keywords: 7 of 8 pictures saved, 1 failed\n"));
}

// Output nobody can read ends the run with one message and exit 4; the
// manifest is written all the same.
TEST_F(CliTest, StandardOutputThatCannotBeWrittenEndsTheRun) {
    StandinServer server(OneHtmlAmongFive());
    const std::string download = "-o " + out().string() + " -j 1 --manifest " + manifest().string();
    for (const auto& [args, message] : std::vector<std::pair<std::string, std::string>>{
             {"--list-only >/dev/full", "No space left on device"},
             {"--list-only >&-", "Bad file descriptor"},
             {"--help >/dev/full", "No space left on device"},
             {download + " >/dev/full", "No space left on device; stopped: 1 of 5 pictures saved"}}) {
        server.resetCounters();
        const auto result = testing::RunTool(
            {"/bin/sh", "-c", "exec \"$0\" " + std::string(kFiveKeyword) + " " + args, kProgram},
            ThroughStandin(server), 60s, true);
        EXPECT_EQ(result.exitCode, 4) << args << ": " << result.output;
        EXPECT_THAT(result.output, HasSubstr("lumigrab-cli: cannot write to standard output: " + message + "\n"));
    }
    EXPECT_EQ(server.pictureRequests(), 1);
    const auto lines = ReadManifest(manifest());
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(CountState(lines, "ok"), 1);
    EXPECT_EQ(CountState(lines, "failed"), 4);
}

TEST_F(CliTest, SecondRunWithTheSameArchiveAsksForNoPicture) {
    StandinServer server(AllJpeg());
    const std::string archive = (folder_.path() / "archive.db").string();
    const auto first = run(server, {"standin-total-6", "-o", out().string(), "--archive", archive});
    ASSERT_EQ(first.exitCode, 0) << first.output;
    server.resetCounters();

    const auto second = run(server, {"standin-total-6", "-o", (folder_.path() / "again").string(),
                                     "--archive", archive});
    EXPECT_EQ(second.exitCode, 0) << second.output;
    EXPECT_EQ(server.pictureRequests(), 0);
    EXPECT_NE(second.output.find("(6 skipped)"), std::string::npos) << second.output;
}

// And one record without an address, which fails as such.
TEST_F(CliTest, TenAddressesServingOnePictureGiveOneFileAndNineDuplicates) {
    StandinServer server;
    std::string lines;
    for (int i = 0; i < 10; ++i)
        lines += "{\"save_name\":\"img " + std::to_string(i) + "\",\"url\":\"" +
                 server.pictureUrl(PictureKind::Jpeg, 1) + "?copy=" + std::to_string(i) +
                 "\",\"state\":\"failed\"}\n";
    lines += "{\"save_name\":\"img 10\",\"url\":\"\",\"state\":\"failed\"}\n";  // nothing to ask for
    ASSERT_TRUE(testing::WriteFile(manifest(), std::vector<std::uint8_t>(lines.begin(), lines.end())));

    const auto result = run(server, {"cat", "-o", out().string(), "--manifest", manifest().string(),
                                     "--resume", "--archive", (folder_.path() / "archive.db").string()});
    EXPECT_EQ(result.exitCode, 1) << result.output;
    EXPECT_EQ(server.pictureRequests(), 10);
    ASSERT_EQ(FilesIn(out()).size(), 1u);
    const auto records = ReadManifest(manifest());
    EXPECT_EQ(CountState(records, "ok"), 1);
    EXPECT_EQ(CountState(records, "duplicate"), 9);
    EXPECT_EQ(CountState(records, "failed"), 1);
    for (const ManifestLine& line : records) {
        const std::string expected = line.url.empty()      ? "failed: no address"
                                     : line.state == "ok" ? "ok: "
                                                          : "duplicate: same as " + FilesIn(out()).front().string();
        EXPECT_EQ(line.state + ": " + line.reason, expected);
    }
    // Every picture in hand keeps its hash, the duplicates' included.
    EXPECT_EQ(cli::Query(folder_.path() / "archive.db", "SELECT count(sha256) FROM records"), "10");
}

// Copies at once share the work: every address is asked for once, every
// picture kept once, and every record of every copy is in the archive.
TEST_F(CliTest, CopiesAtOnceOnOneArchiveFetchAndKeepEachPictureOnce) {
    StandinServer server(AllJpeg());
    const std::string archive = (folder_.path() / "archive.db").string();
    // Two keywords twice; the second lists the first one's pictures and more.
    std::vector<std::unique_ptr<testing::Child>> copies;
    for (int i = 0; i < 4; ++i)
        copies.push_back(std::make_unique<testing::Child>(
            std::vector<std::string>{kProgram, i % 2 == 0 ? "standin-total-25" : "standin-total-29", "-j", "8", "-q",
                                     "-o", (folder_.path() / std::to_string(i)).string(), "--archive", archive},
            ThroughStandin(server)));
    for (auto& copy : copies) EXPECT_EQ(copy->waitExit(60s), 0);
    EXPECT_EQ(server.pictureRequests(), 29);

    const auto stats = run(server, {"--archive", archive, "--archive-stats"});
    ASSERT_EQ(stats.exitCode, 0) << stats.output;
    const std::size_t all = stats.output.find("(all)\t");
    ASSERT_NE(all, std::string::npos) << stats.output;
    long ok = 0, skipped = 0, duplicate = 0, filtered = 0, failed = 0;
    std::istringstream(stats.output.substr(all + 6)) >> ok >> skipped >> duplicate >> filtered >> failed;
    EXPECT_EQ(ok + duplicate, 29) << stats.output;
    EXPECT_EQ(std::vector<long>({skipped, filtered, failed}), std::vector<long>({2 * 25 + 2 * 29 - 29, 0, 0}));
    std::set<std::string> kept;
    for (int i = 0; i < 4; ++i)
        for (const fs::path& file : FilesIn(folder_.path() / std::to_string(i)))
            EXPECT_TRUE(kept.insert(ReadText(file)).second) << file << " is kept twice";
    EXPECT_EQ(static_cast<long>(kept.size()), ok);
}

TEST_F(CliTest, SizeFilterKeepsOnlyTheLargePictures) {
    StandinServer server(AllJpeg());
    const auto result = run(server, {"standin-total-9", "-o", out().string(), "--manifest",
                                     manifest().string(), "--min-width", "240"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    std::map<std::string, int> widthOf;
    for (const PageElement& e : server.listing("standin-total-9", 0)) widthOf[e.objURL] = e.width;
    const auto records = ReadManifest(manifest());
    ASSERT_EQ(records.size(), 9u);
    int large = 0;
    for (const ManifestLine& line : records) {
        const bool wide = widthOf.at(line.url) >= 240;
        large += wide;
        EXPECT_EQ(line.state, wide ? "ok" : "filtered") << line.url;
        EXPECT_EQ(fs::exists(line.path), wide) << line.path;
        if (!wide) {
            EXPECT_NE(line.reason.find(" below 240 wide"), std::string::npos) << line.reason;
        }
    }
    EXPECT_GT(large, 0);
    EXPECT_LT(large, 9);
}


TEST_F(CliTest, ServiceFiltersGoIntoTheJsonEndpointAddress) {
    StandinServer server;
    const auto result = run(server, {"standin-total-1", "--list-only", "--source", "json", "--color",
                                     "black-and-white", "--face", "--kind", "animated"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    int asked = 0;
    for (const RecordedRequest& request : server.requests()) {
        if (request.pathAndQuery.starts_with("/search/acjson?")) {
            ++asked;
            EXPECT_TRUE(request.pathAndQuery.ends_with("&ic=2048&face=1&lm=6")) << request.pathAndQuery;
        }
    }
    EXPECT_EQ(asked, 1);
}


// Answers of the JSON endpoint no keyword makes, as the command shows them.
struct JsonAnswerCase {
    const char* name;
    std::string answer;
    int exitCode;
    std::vector<std::string> shown;
};
void PrintTo(const JsonAnswerCase& c, std::ostream* out) { *out << c.name; }

class CliJsonAnswerTest : public CliTest, public ::testing::WithParamInterface<JsonAnswerCase> {};

TEST_P(CliJsonAnswerTest, IsShownAsItIs) {
    const JsonAnswerCase& c = GetParam();
    StandinOptions options;
    options.jsonAnswer = c.answer;
    StandinServer server(options);
    const auto result = run(server, {"cat", "--source", "json", "--list-only"});
    EXPECT_EQ(result.exitCode, c.exitCode) << result.output;
    for (const std::string& shown : c.shown) EXPECT_NE(result.output.find(shown), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find('\x1b'), std::string::npos) << result.output;
}

INSTANTIATE_TEST_SUITE_P(
    Answers, CliJsonAnswerTest,
    ::testing::Values(
        JsonAnswerCase{"RefusalInControlCharacters",
                       R"({"antiFlag":1,"message":"\u001b]0;owned\u0007\r\u0000forged"})", 3,
                       {"refused the search: page 1: ]0;owned forged (HTTP 200, "}},
        // Neither a failure of the page nor one of the one bad field; the
        // picture left out still holds its rank, and a source page as long
        // is dropped alone.
        JsonAnswerCase{"AddressTooLong",
                       R"({"data":[{"hoverURL":"http://127.0.0.1/)" + std::string(64 << 10, 'a') +
                           R"("},{"hoverURL":"http://127.0.0.1/b.jpg","width":18446744073709551615,"di":1e400,"fromURL":"http://s/)" +
                           std::string(64 << 10, 's') + R"("}]})",
                       0, {"page 1: 1 picture left out: address too long", "img 1\thttp://127.0.0.1/b.jpg\t\t\t\t\t\t2\t0\n"}},
        JsonAnswerCase{"MoreElementsThanAPageHolds",
                       R"({"data":[)" + [] {
                           std::string elements;
                           for (int i = 0; i < 100000; ++i) elements += "{},";
                           return elements;
                       }() + "{}]}",
                       1, {"no result array on page 1: its picture data is too large to read"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CliInstallTest, InstallsTheCommandItsManualAndCompletionUnderDestdir) {
    TempFolder dest("lumigrab-install");
    const auto installed = testing::RunTool(
        {LUMIGRAB_CMAKE, "--install", LUMIGRAB_BUILD_DIR, "--component", "cli", "--prefix", "/usr/local"},
        testing::With(testing::CurrentEnvironment(), "DESTDIR", dest.path().string()), 60s, true);
    ASSERT_EQ(installed.exitCode, 0) << installed.output;
    const fs::path prefix = dest.path() / "usr/local";
    std::vector<std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(dest.path()))
        if (item.is_regular_file()) files.push_back(fs::relative(item.path(), prefix).string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"bin/lumigrab-cli", "share/bash-completion/completions/lumigrab-cli",
                                               "share/man/man1/lumigrab-cli.1",
                                               "share/zsh/site-functions/_lumigrab-cli"}));
    const std::string manual = ReadText(prefix / "share/man/man1/lumigrab-cli.1");
    EXPECT_NE(manual.find("archive\\-stats"), std::string::npos);  // from --help
    EXPECT_NE(manual.find("BUILDING A COLLECTION"), std::string::npos);  // written by hand
    const auto version = testing::RunTool({(prefix / "bin/lumigrab-cli").string(), "--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.output, testing::RunTool({kProgram, "--version"}).output);
}

}  // namespace
}  // namespace lumigrab::standin
