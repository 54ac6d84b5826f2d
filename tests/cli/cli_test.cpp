// lumigrab-cli as a user runs it: the real binary, reaching the stand-in
// through https_proxy exactly as `make demo` wires the window program.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/child.h"
#include "support/eventually.h"
#include "support/files.h"
#include "json/json_document.h"
#include "text/encoding.h"
#include "tools/standin/standin.h"

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
    return testing::With(env, "NO_PROXY", "127.0.0.1,localhost");
}

using testing::ReadText;
using testing::TempFolder;

struct ManifestLine {
    std::string path, url, state, reason, sha256;
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
        lines.push_back({GbkToUtf8(json.GetText("path")), GbkToUtf8(json.GetText("url")),
                         json.GetText("state"), json.GetText("reason"), json.GetText("sha256")});
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

TEST_F(CliTest, HtmlBodyAmongPicturesFailsItsRecordAndTheOthersAreSavedAsServed) {
    StandinServer server(OneHtmlAmongFive());
    const auto result = run(server, {kFiveKeyword, "-o", out().string(), "--manifest",
                                     manifest().string()});
    EXPECT_EQ(result.exitCode, 1) << result.output;
    EXPECT_NE(result.output.find("1 of 5 pictures failed"), std::string::npos) << result.output;

    const auto lines = ReadManifest(manifest());
    ASSERT_EQ(lines.size(), 5u);
    int saved = 0;
    for (const ManifestLine& line : lines) {
        if (line.url.find("/pic/html/") != std::string::npos) {
            EXPECT_EQ(line.state, "failed");
            EXPECT_EQ(line.reason, "not a picture");
            EXPECT_FALSE(fs::exists(line.path));
            continue;
        }
        ASSERT_EQ(line.state, "ok") << line.url;
        const Bytes served = server.expectedBody(line.url);
        EXPECT_EQ(ReadText(line.path), std::string(served.begin(), served.end())) << line.path;
        EXPECT_EQ(line.sha256.size(), 64u);
        ++saved;
    }
    EXPECT_EQ(saved, 4);
}

TEST_F(CliTest, ResumeFetchesOnlyTheRecordsThatAreNotOk) {
    StandinServer server(OneHtmlAmongFive());
    run(server, {kFiveKeyword, "-o", out().string(), "--manifest", manifest().string()});
    server.resetCounters();

    const auto result = run(server, {kFiveKeyword, "--manifest", manifest().string(), "--resume"});
    EXPECT_EQ(result.exitCode, 1) << result.output;
    EXPECT_EQ(server.pageRequests(), 0);
    EXPECT_EQ(server.pictureRequests(), 1);
    EXPECT_EQ(server.hitsUnder("/pic/html/"), 1);
    EXPECT_EQ(ReadManifest(manifest()).size(), 5u);
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
    const auto result = run(server, {"standin-gone", "--list-only"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find(server.pictureUrl(PictureKind::Png, 1)), std::string::npos) << result.output;
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

TEST_F(CliTest, InterruptDuringSlowDownloadLeavesNoPartialFileAndAWholeManifest) {
    StandinOptions options;
    options.kindCycle = {PictureKind::Slow};
    options.slowDelay = 5000ms;
    StandinServer server(options);
    testing::Child child({kProgram, "standin-total-3", "-j", "1", "-o", out().string(), "--manifest",
                      manifest().string()},
                     ThroughStandin(server));
    ASSERT_GT(child.pid(), 0);
    testing::Eventually([&] { return server.currentPictures() != 0; }, 10s);
    ASSERT_EQ(server.currentPictures(), 1);

    child.signal(SIGINT);
    EXPECT_EQ(child.waitExit(30s), 128 + SIGINT);
    EXPECT_EQ(server.pictureRequests(), 1);
    EXPECT_TRUE(FilesIn(out()).empty());
    const auto lines = ReadManifest(manifest());
    ASSERT_EQ(lines.size(), 3u);
    for (const ManifestLine& line : lines) {
        EXPECT_EQ(line.state, "failed");
        EXPECT_EQ(line.reason, "stopped");
    }
}

}  // namespace
}  // namespace lumigrab::standin
