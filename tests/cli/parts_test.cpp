// The command's parts, without running it. The archive's rules, on a real
// SQLite file: which copy fetches an address, which keeps a picture, and
// which archives a run may write at all (other copies of the command are
// archives opened in the name of other processes). The numbers its options
// take, the settings that come from config and cookies files, and the
// keywords with their folders.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <thread>
#include <tuple>

#include "cli/archive.h"
#include "cli/config.h"
#include "cli/manifest.h"
#include "cli/options.h"
#include "support/files.h"
#include "text/encoding.h"

namespace lumigrab::cli {

// The first column of the first row `sql` gives (cli_test.cpp asks too).
std::string Query(const std::filesystem::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    SqliteDb owned(db);
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr);
    SqliteStatement statement(raw);
    if (!statement || sqlite3_step(raw) != SQLITE_ROW || sqlite3_column_text(raw, 0) == nullptr) return {};
    return reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
}

namespace {

using testing::TempFolder;
using Kind = Archive::Claim::Kind;

const std::string kUrl = "http://pictures.example/cat.jpg";

// A pid that named a process a moment ago and names none now.
std::int64_t EndedPid() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

// A child as it was while it ran, now ended but not reaped by its parent.
ArchiveProcess Unreaped() {
    int gate[2];
    EXPECT_EQ(::pipe(gate), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        char byte;
        ::close(gate[1]);
        [[maybe_unused]] const ssize_t n = ::read(gate[0], &byte, 1);
        ::_exit(0);
    }
    const ArchiveProcess running = *ProcessOf(child);
    ::close(gate[0]);
    ::close(gate[1]);
    siginfo_t info{};
    ::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT);
    return running;
}

enum class Who {
    Running,   // another copy at work now
    Gone,      // a copy that has ended
    Unreaped,  // a copy that has ended, not yet reaped by its parent
    Reused,    // a process that has ended, whose pid a later one has
    Self,      // this process, for another name
};

ArchiveProcess ProcessFor(Who who) {
    switch (who) {
        case Who::Running: return *ProcessOf(::getppid());
        case Who::Gone: return ArchiveProcess{EndedPid(), "ended"};
        case Who::Unreaped: return Unreaped();
        case Who::Reused: return ArchiveProcess{::getpid(), "an earlier life"};
        case Who::Self: break;
    }
    return ThisProcess();
}

std::unique_ptr<Archive> OpenAs(const std::filesystem::path& file, ArchiveProcess process) {
    std::string error;
    auto archive = Archive::Open(file, Archive::Use::Write, error, std::move(process));
    EXPECT_NE(archive, nullptr) << error;
    return archive;
}

// When the other copy left its row, against this run's start.
enum class When { LongBefore, JustBefore, During };

// Rows as the other copy leaves them; `state` "fetching" is a claim alone.
struct ClaimCase {
    const char* name;
    Who who;
    const char* state;
    const char* reason;
    When when;
    Kind expected;
    const char* outcome = "";
};
void PrintTo(const ClaimCase& c, std::ostream* out) { *out << c.name; }

class ArchiveClaimTest : public ::testing::TestWithParam<ClaimCase> {};

TEST_P(ArchiveClaimTest, DecidesWhoFetchesAnAddress) {
    const ClaimCase& c = GetParam();
    TempFolder folder("lumigrab-archive");
    const auto file = folder / "archive.db";
    std::unique_ptr<Archive> mine = c.when == When::During ? OpenAs(file, ThisProcess()) : nullptr;
    const ArchiveProcess them = ProcessFor(c.who);
    auto theirs = c.who == Who::Self ? nullptr : OpenAs(file, them);
    Archive& other = theirs ? *theirs : *mine;

    const Archive::Claim first = other.ClaimAddress(kUrl, "them/img 1.jpg", "cat");
    ASSERT_EQ(first.kind, Kind::Fetch) << first.error;
    std::string error;
    if (std::string(c.state) != "fetching") {
        ArchiveRecord record{kUrl, "", 10, 0, 0, "", "them/img 1.jpg", "cat", c.state, c.reason};
        ASSERT_TRUE(other.Finish(first.row, record, error)) << error;
    }
    if (c.when == When::LongBefore) Query(file, "UPDATE records SET time = '2000-01-01T00:00:00Z'");
    if (c.when == When::JustBefore) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!mine) mine = OpenAs(file, ThisProcess());

    const Archive::Claim claim = mine->ClaimAddress(kUrl, "me/img 1.jpg", "cat");
    EXPECT_EQ(claim.kind, c.expected) << claim.error;
    EXPECT_EQ(claim.outcome, c.outcome);
    if (c.expected == Kind::Theirs) {
        EXPECT_EQ(claim.holder, them.pid);
    }
    // A claim never outlives the fetch it was for: given up, the next asker gets it.
    if (claim.kind == Kind::Fetch) {
        ASSERT_TRUE(mine->ReleaseClaims(error)) << error;
        EXPECT_EQ(OpenAs(file, *ProcessOf(::getppid()))->ClaimAddress(kUrl, "next/img 1.jpg", "cat").kind,
                  Kind::Fetch);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ArchiveClaimTest,
    ::testing::Values(
        ClaimCase{"SavedByAnEarlierRun", Who::Gone, "ok", "", When::LongBefore, Kind::InArchive},
        ClaimCase{"SavedByACopyAtWork", Who::Running, "ok", "", When::During, Kind::InArchive},
        // Only a saved picture is in the archive: a run that ended with
        // anything else leaves the address to be fetched again.
        ClaimCase{"FailedInAnEarlierRun", Who::Gone, "failed", "HTTP 404", When::LongBefore, Kind::Fetch},
        ClaimCase{"FilteredInAnEarlierRun", Who::Gone, "filtered", "300x200 below 500 wide", When::LongBefore,
                  Kind::Fetch},
        ClaimCase{"DuplicateInAnEarlierRun", Who::Gone, "duplicate", "same as x.jpg", When::LongBefore,
                  Kind::Fetch},
        ClaimCase{"BeingFetchedByACopyAtWork", Who::Running, "fetching", "", When::During, Kind::Theirs},
        ClaimCase{"FailedInACopyAtWork", Who::Running, "failed", "HTTP 404", When::LongBefore, Kind::Theirs,
                  "failed: HTTP 404"},
        ClaimCase{"FailedInARunThatEndedJustBeforeThisOne", Who::Gone, "failed", "HTTP 404", When::JustBefore,
                  Kind::Fetch},
        ClaimCase{"FailedInACopyThatEndedAfterThisRunBegan", Who::Gone, "failed", "not a picture", When::During,
                  Kind::Theirs, "failed: not a picture"},
        ClaimCase{"StoppedInACopyAtWork", Who::Running, "failed", "stopped", When::During, Kind::Fetch},
        ClaimCase{"PassedOverByACopyAtWork", Who::Running, "skipped", "in archive", When::During, Kind::Fetch},
        ClaimCase{"ClaimOfACopyThatEnded", Who::Gone, "fetching", "", When::During, Kind::Fetch},
        ClaimCase{"ClaimOfACopyThatEndedUnreaped", Who::Unreaped, "fetching", "", When::During, Kind::Fetch},
        ClaimCase{"ClaimOfAnEarlierProcessWithThisPid", Who::Reused, "fetching", "", When::During, Kind::Fetch},
        ClaimCase{"ClaimOfThisProcessForAnotherName", Who::Self, "fetching", "", When::During, Kind::Fetch}),
    [](const auto& info) { return std::string(info.param.name); });

// Bytes are kept once, whoever has them: decided in the transaction that
// records them, so a picture being written counts as kept.
TEST(ArchiveHashTest, APictureIsKeptOnceAcrossCopies) {
    TempFolder folder("lumigrab-archive");
    const auto file = folder / "archive.db";
    auto mine = OpenAs(file, ThisProcess());
    auto running = OpenAs(file, *ProcessOf(::getppid()));
    auto gone = OpenAs(file, ArchiveProcess{EndedPid(), "ended"});
    using HashKind = Archive::HashClaim::Kind;
    const std::string hash(64, 'a');
    std::string error;

    // Being written by a copy that ended: void, so this one keeps it.
    ASSERT_EQ(gone->ClaimAddress(kUrl + "?gone", "gone.jpg", "cat").kind, Kind::Fetch);
    ASSERT_EQ(gone->ClaimHash(hash, "gone.jpg").kind, HashKind::Keep);
    const Archive::Claim claim = mine->ClaimAddress(kUrl, "mine.jpg", "cat");
    ASSERT_EQ(claim.kind, Kind::Fetch);
    EXPECT_EQ(mine->ClaimHash(hash, "mine.jpg").kind, HashKind::Keep);

    // Being written here: a copy at work with the same bytes holds them as a duplicate.
    ASSERT_EQ(running->ClaimAddress(kUrl + "?2", "theirs.jpg", "cat").kind, Kind::Fetch);
    Archive::HashClaim held = running->ClaimHash(hash, "theirs.jpg");
    EXPECT_EQ(held.kind, HashKind::Duplicate);
    EXPECT_EQ(held.earlier, "mine.jpg");

    // Its file could not be written: the bytes are free again.
    ASSERT_TRUE(mine->Finish(claim.row, {kUrl, "", 10, 0, 0, "", "", "cat", "failed", "write failed"}, error));
    const Archive::Claim next = running->ClaimAddress(kUrl + "?3", "next.jpg", "cat");
    ASSERT_EQ(next.kind, Kind::Fetch);
    EXPECT_EQ(running->ClaimHash(hash, "next.jpg").kind, HashKind::Keep);

    // Saved, it stays a duplicate for every later run.
    ASSERT_TRUE(running->Finish(
        next.row, {kUrl + "?3", hash, 10, 640, 480, "jpeg", "next.jpg", "cat", "ok", "", "http://s/", "猫", 31, 1},
        error));
    running.reset();
    EXPECT_EQ(Query(file, "SELECT url||' '||sha256||' '||bytes||' '||width||' '||height||' '||format||' '||path||' '||"
                          "keyword||' '||state||' '||ifnull(reason, '-')||' '||source_page||' '||title||' '||rank||' '||"
                          "page FROM records WHERE state = 'ok'"),
              kUrl + "?3 " + hash + " 10 640 480 jpeg next.jpg cat ok - http://s/ 猫 31 1");
    ASSERT_EQ(mine->ClaimAddress(kUrl + "?4", "again.jpg", "cat").kind, Kind::Fetch);
    held = mine->ClaimHash(hash, "again.jpg");
    EXPECT_EQ(held.kind, HashKind::Duplicate);
    EXPECT_EQ(held.earlier, "next.jpg");
}

// Clears the immutable flag it set, so the scratch folder can go.
struct Immutable {
    explicit Immutable(const std::filesystem::path& file) : fd(::open(file.c_str(), O_RDONLY)) {
        int flags = 0;
        set = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
              (flags |= FS_IMMUTABLE_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    }
    ~Immutable() {
        int flags = 0;
        if (set && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags &= ~FS_IMMUTABLE_FL;
            ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
        if (fd >= 0) ::close(fd);
    }
    int fd;
    bool set = false;
};

TEST(ArchiveOpenTest, OnlyAnArchiveThatCanBeWrittenIsTakenForARun) {
    TempFolder folder("lumigrab-archive");
    const auto file = folder / "archive.db";
    std::string error;
    // Asking about an archive never makes one.
    EXPECT_EQ(Archive::Open(file, Archive::Use::Read, error), nullptr);
    EXPECT_FALSE(std::filesystem::exists(file));

    // One made before claims and before records said where they were
    // found: its rows stay, and claims and the new columns work in it.
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
        SqliteDb owned(db);
        ASSERT_EQ(sqlite3_exec(db,
                               ("CREATE TABLE records(id INTEGER PRIMARY KEY, url TEXT NOT NULL, sha256 TEXT,"
                               " bytes INTEGER, width INTEGER, height INTEGER, format TEXT, path TEXT,"
                               " keyword TEXT NOT NULL, state TEXT NOT NULL, reason TEXT, time TEXT NOT NULL);"
                               "INSERT INTO records(url, keyword, state, time) VALUES('" + kUrl +
                                   "', 'cat', 'ok', '2000-01-01T00:00:00Z');")
                                   .c_str(),
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
    }
    auto archive = Archive::Open(file, Archive::Use::Write, error);
    ASSERT_NE(archive, nullptr) << error;
    EXPECT_EQ(archive->ClaimAddress(kUrl, "a.jpg", "cat").kind, Kind::InArchive);
    EXPECT_EQ(OpenAs(file, ProcessFor(Who::Gone))->ClaimAddress(kUrl + "?new", "b.jpg", "cat").kind, Kind::Fetch);
    ASSERT_TRUE(archive->Add({kUrl + "?add", "", 0, 0, 0, "", "", "cat", "failed", "HTTP 404", "http://s/", "t", 1, 0},
                             error))
        << error;
    ASSERT_TRUE(archive->Add({kUrl + "?unknown", "", 0, 0, 0, "", "", "cat", "failed", "HTTP 404"}, error)) << error;
    archive.reset();
    EXPECT_EQ(Query(file, "SELECT group_concat(url||' '||ifnull(source_page, '-')||' '||ifnull(title, '-')||' '||"
                          "ifnull(rank, '-')||' '||ifnull(page, '-'), ', ') FROM records WHERE state != 'fetching'"),
              kUrl + " - - - -, " + kUrl + "?add http://s/ t 1 0, " + kUrl + "?unknown - - - -");
    // A run begins by clearing the claims of processes that are gone.
    archive = OpenAs(file, ThisProcess());
    EXPECT_EQ(Query(file, "SELECT count(*) FROM records WHERE state = 'fetching'"), "0");
    archive.reset();

    // Root writes whatever the mode says; only the immutable flag stops it.
    ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
    const Immutable immutable(file);
    if (::geteuid() == 0 && !immutable.set) GTEST_SKIP() << "root without the right to make a file immutable";
    EXPECT_EQ(Archive::Open(file, Archive::Use::Write, error), nullptr);
    EXPECT_EQ(error, "the archive " + file.string() + ": cannot be written (read-only)");
    EXPECT_NE(Archive::Open(file, Archive::Use::Read, error), nullptr) << error;
}

// Where a record was found goes into its manifest line and comes back from
// it; each number at the edges of its range and past them.
TEST(ManifestTest, WhereARecordWasFoundRoundTrips) {
    TempFolder folder("lumigrab-manifest");
    const ManifestRun run{"猫", folder / "out"};
    Entry found("img 1", "http://a/1.jpg", "http://a/t1.jpg", "640", "", "http://s/1.html", "猫 & \"狗\"");
    found.rank = 4294967295u;
    found.page = 2147483647;
    const Entry unknown("img 2", "http://a/2.jpg", "", "", "");
    std::string error;
    const std::vector<Entry> written{found, unknown};
    const ManifestPart part{&run, &written};
    ASSERT_TRUE(WriteManifest(folder / "m.jsonl", {&part, 1}, error)) << error;
    const auto all = ReadManifest(folder / "m.jsonl", {&run, 1}, error);
    ASSERT_TRUE(all) << error;
    const auto* read = &all->front();
    ASSERT_EQ(read->size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        const Entry& want = i == 0 ? found : unknown;
        const Entry& got = (*read)[i];
        EXPECT_EQ(ManifestLine(run, got), ManifestLine(run, want));
        EXPECT_EQ(got.sourcePage(), want.sourcePage());
        EXPECT_EQ(got.title(), want.title());
        EXPECT_EQ(got.rank, want.rank);
        EXPECT_EQ(got.page, want.page);
    }
    EXPECT_THAT(ManifestLine(run, unknown), ::testing::EndsWith(R"("source_page":"","title":"","rank":null,"page":null})"));

    const std::string line = R"({"save_name":"img 1","url":"u","state":"failed",)";
    for (const auto& [members, refusal] : std::vector<std::pair<std::string, std::string>>{
             {R"("rank":1,"page":0)", ""},
             {R"("rank":0)", R"("rank" is not a position from 1)"},
             {R"("rank":4294967296)", R"("rank" is not a position from 1)"},
             {R"("rank":1.5)", R"("rank" is not a position from 1)"},
             {R"("page":-1)", R"("page" is not a page number from 0)"},
             {R"("page":2147483648)", R"("page" is not a page number from 0)"},
         }) {
        const std::string text = line + members + "}\n";
        ASSERT_TRUE(testing::WriteFile(folder / "x.jsonl", std::vector<std::uint8_t>(text.begin(), text.end())));
        const auto entries = ReadManifest(folder / "x.jsonl", {&run, 1}, error);
        EXPECT_EQ(entries.has_value(), refusal.empty()) << members;
        if (!refusal.empty()) {
            EXPECT_THAT(error, ::testing::EndsWith(refusal)) << members;
        }
    }
}

// Each way a picture ends, in the manifest's words, and read back as the
// same record: every cause at the edges of the status range, with and
// without the tries and the wait a host asked for.
TEST(ManifestTest, EachOutcomeHasItsWordsAndReadsBack) {
    using O = DownloadOutcome;
    using C = O::Cause;
    const auto with = [](O outcome, int status, HttpFailure http = HttpFailure::None, int tries = 1,
                         std::optional<std::chrono::seconds> wait = {}) {
        outcome.status = status;
        outcome.http = http;
        outcome.tries = tries;
        outcome.retryAfter = wait;
        return outcome;
    };
    const std::chrono::seconds hour(3600);
    const std::vector<std::tuple<O, std::string, std::string>> rows{
        {O::Saved(), "ok", "null"},
        {O::Failed(C::NoResponse), "failed", "no response"},
        {with(O::Failed(C::NoResponse), 0, HttpFailure::TooSlow), "failed", "too slow"},
        {with(O::Failed(C::NotPicture), 404, HttpFailure::NotHttp), "failed", "not an http(s) address"},
        {with(O::Failed(C::NotPicture), 199), "failed", "HTTP 199"},
        {with(O::Failed(C::NotPicture), 200), "failed", "not a picture"},
        {with(O::Failed(C::NotPicture), 299), "failed", "not a picture"},
        {with(O::Failed(C::NotPicture), 300), "failed", "HTTP 300"},
        {with(O::Failed(C::NotPicture), 503, HttpFailure::None, 3, hour), "failed",
         "HTTP 503, asks to wait 3600 s after 3 tries"},
        {with(O::Failed(C::WriteFailed), 200, HttpFailure::None, 2), "failed", "write failed after 2 tries"},
        {with(O::Failed(C::Stopped), 0, HttpFailure::TooSlow), "failed", "stopped"},
        {O::Failed(C::NoAddress), "failed", "no address"},
        {O::Failed(C::NoThread), "failed", "no thread"},
        {O::Failed(C::NoChecksum), "failed", "no checksum"},
        {O::NotKept(O::Rule::Filtered, "300x200 below 500 wide"), "filtered", "300x200 below 500 wide"},
        // A rule's words are its own: the tries it took are not part of them.
        {with(O::NotKept(O::Rule::Duplicate, "./cat/img 2.jpg"), 200, HttpFailure::None, 2, hour), "duplicate",
         "same as ./cat/img 2.jpg"},
        {O::PassedOver(O::Passed::InArchive), "skipped", "in archive"},
        {O::PassedOver(O::Passed::OtherCopy, 4711), "skipped", "being fetched by process 4711"},
        {O::PassedOver(O::Passed::OtherCopy, 4711, "failed: HTTP 404"), "skipped",
         "fetched by process 4711, failed: HTTP 404"},
    };
    TempFolder folder("lumigrab-manifest");
    const ManifestRun run{"cat", folder / "out"};
    std::vector<Entry> written;
    for (const auto& [outcome, state, reason] : rows) {
        Entry entry("img", "http://a/1.jpg", "", "", "");
        entry.setOutcome(outcome);
        const std::string words = reason == "null" ? reason : "\"" + reason + "\"";
        EXPECT_THAT(ManifestLine(run, entry), ::testing::HasSubstr(R"("state":")" + state + R"(","reason":)" + words))
            << reason;
        written.push_back(std::move(entry));
    }
    std::string error;
    const ManifestPart part{&run, &written};
    ASSERT_TRUE(WriteManifest(folder / "m.jsonl", {&part, 1}, error)) << error;
    const auto read = ReadManifest(folder / "m.jsonl", {&run, 1}, error);
    ASSERT_TRUE(read) << error;
    ASSERT_EQ(read->front().size(), written.size());
    for (std::size_t i = 0; i < written.size(); ++i) {
        EXPECT_EQ(ManifestLine(run, read->front()[i]), ManifestLine(run, written[i]));
    }
}

// Sets an environment variable for one scope, restoring what it was.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// ParseOptions on the command `lumigrab-cli ARGS…`, and what it printed.
std::pair<std::variant<Options, int>, std::string> Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "lumigrab-cli");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    ::testing::internal::CaptureStderr();
    auto parsed = ParseOptions(static_cast<int>(argv.size()), argv.data());
    return {std::move(parsed), ::testing::internal::GetCapturedStderr()};
}

// Each number at the edges of its range and past them; "" is accepted.
struct NumberCase {
    std::vector<std::string> args;
    std::string refusal;
    bool (*holds)(const Options&) = nullptr;
};

TEST(OptionsTest, NumbersAreTakenWholeAndWithinTheirRange) {
    const std::vector<NumberCase> cases{
        {{"--min-bytes", "0"}, ""},
        {{"--min-bytes", "67108864"}, "", [](const Options& o) { return o.rules.minBytes == 67108864; }},
        {{"--min-bytes", "-1"}, "--min-bytes: -1 is not a whole number from 0 to 67108864"},
        {{"--min-bytes", "67108865"}, "--min-bytes: 67108865 is not a whole number from 0 to 67108864"},
        {{"--min-bytes", "99999999999999999999999"}, "--min-bytes: 99999999999999999999999 is not"},
        {{"--min-bytes", "1e3"}, "--min-bytes: 1e3 is not"},
        {{"--max-bytes", "0"}, "--max-bytes: 0 is not a whole number from 1 to 67108864"},
        {{"--max-bytes", "1"}, "", [](const Options& o) { return o.rules.maxBytes == 1; }},
        {{"--wait", "nan"}, "--wait: nan is not a number of seconds from 0 to 3600"},
        {{"--wait", "inf"}, "--wait: inf is not"},
        {{"--wait", "-0.5"}, "--wait: -0.5 is not"},
        {{"--wait", "3600.5"}, "--wait: 3600.5 is not"},
        {{"--wait", "3600"}, "", [](const Options& o) { return o.waitSeconds == 3600; }},
        {{"--wait", "0.25"}, "", [](const Options& o) { return o.waitSeconds == 0.25; }},
        {{"-j", "100"}, "", [](const Options& o) { return o.threads == 100; }},
        {{"-j", "-5"}, "", [](const Options& o) { return o.threads == 5; }},
        {{"-j", "101"}, "--threads: 101 is not a whole number up to 100 (below 1 means 5)"},
        {{"-j", "x"}, "--threads: x is not a whole number up to 100"},
        {{"-d", "1000"}, "", [](const Options& o) { return o.depth == 1000; }},
        {{"-d", "0"}, "--depth: 0 is not a whole number from 1 to 1000"},
        {{"-d", "5x"}, "--depth: 5x is not"},
        {{"--max", "0"}, "--max: 0 is not a whole number from 1 to 100000000"},
        {{"--max", "-3"}, "--max: -3 is not"},
        {{"--max", "1"}, "", [](const Options& o) { return o.maxPictures == 1 && o.depth == 1000; }},
        {{"--max", "5", "-d", "3"}, "", [](const Options& o) { return o.maxPictures == 5 && o.depth == 3; }},
        {{"--max", "5", "--list-only"}, "--max excludes --list-only"},
    };
    const ScopedEnv noConfig("XDG_CONFIG_HOME", "/nonexistent/lumigrab-tests");
    for (const NumberCase& c : cases) {
        std::vector<std::string> args{"cat"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto [parsed, printed] = Parse(args);
        const std::string what = c.args[0] + " " + c.args[1];
        if (c.refusal.empty()) {
            ASSERT_TRUE(std::holds_alternative<Options>(parsed)) << what << ": " << printed;
            EXPECT_TRUE(c.holds == nullptr || c.holds(std::get<Options>(parsed))) << what;
        } else {
            EXPECT_EQ(std::get_if<int>(&parsed) != nullptr ? std::get<int>(parsed) : 0, kExitBadArguments) << what;
            EXPECT_EQ(printed.rfind("lumigrab-cli: " + c.refusal, 0), 0u) << what << ": " << printed;
        }
    }
}

// Options from the default config file (its folder given by
// XDG_CONFIG_HOME), a file given to --config or --cookies ("@" in the
// arguments, the file texts and the refusal stands for it) and the command
// line. A null file text: no such file; kFolder: a folder in its place.
const char* const kFolder = "(folder)";
struct ConfigCase {
    const char* name;
    const char* defaults;
    const char* given;
    std::vector<std::string> args;
    std::string refusal;  // the start of the message; empty: accepted
    bool (*holds)(const Options&) = nullptr;
};

TEST(OptionsTest, ConfigFilesAgainstTheCommandLine) {
    const std::vector<ConfigCase> cases{
        {"DefaultFile", "depth = 3\nquiet = true", nullptr, {}, "",
         [](const Options& o) { return o.depth == 3 && o.quiet; }},
        {"NoFiles", nullptr, nullptr, {}, "", [](const Options& o) { return o.depth == 1 && !o.quiet; }},
        {"CommandLineOverDefault", "depth = 3", nullptr, {"-d", "2"}, "", [](const Options& o) { return o.depth == 2; }},
        {"GivenOverDefault", "depth = 3\nthreads = 7", "depth = 4", {"--config", "@"}, "",
         [](const Options& o) { return o.depth == 4 && o.threads == 7; }},
        {"CommandLineOverGiven", nullptr, "depth = 4", {"--config", "@", "-d", "2"}, "",
         [](const Options& o) { return o.depth == 2; }},
        {"NoConfigSkipsDefault", "depth = 3", nullptr, {"--no-config"}, "", [](const Options& o) { return o.depth == 1; }},
        {"NoConfigKeepsGiven", "depth = 3", "threads = 7", {"--no-config", "--config", "@"}, "",
         [](const Options& o) { return o.depth == 1 && o.threads == 7; }},
        {"NoConfigAfterDoubleDashIsAKeyword", "depth = 3", nullptr, {"--", "--no-config"}, "",
         [](const Options& o) { return o.depth == 3; }},
        {"UnknownKey", "dpeth = 3", nullptr, {}, "unknown key in a config file: dpeth"},
        {"UnknownKeyInGiven", nullptr, "depth = 2\nproxies = 1", {"--config", "@"}, "unknown key in a config file: proxies"},
        {"SectionIsNoKey", nullptr, "[run]\ndepth = 3", {"--config", "@"}, "unknown key in a config file: run"},
        {"ShortNameIsNoKey", "d = 3", nullptr, {}, "unknown key in a config file: d"},
        {"ValueCheckedAsOnTheCommandLine", "depth = 0", nullptr, {}, "--depth: 0 is not a whole number"},
        {"GivenMissing", nullptr, nullptr, {"--config", "@"}, "@"},
        {"DefaultUnreadable", kFolder, nullptr, {}, "(default)"},
        {"ProxyFromConfig", "proxy = \"socks5h://127.0.0.1:1080\"", nullptr, {}, "",
         [](const Options& o) { return o.proxy == "socks5h://127.0.0.1:1080"; }},
        {"ProxySchemeAnyCase", nullptr, nullptr, {"--proxy", "HTTPS://h:3128"}, "",
         [](const Options& o) { return o.proxy == "HTTPS://h:3128"; }},
        {"ProxySocks5", nullptr, nullptr, {"--proxy", "socks5://h"}, ""},
        {"ProxyHttp", nullptr, nullptr, {"--proxy", "http://h:3128"}, ""},
        {"ProxyOtherScheme", nullptr, nullptr, {"--proxy", "socks4://h"}, "--proxy: socks4://h is not a proxy address"},
        {"ProxyWithoutScheme", nullptr, nullptr, {"--proxy", "h:3128"}, "--proxy: h:3128 is not a proxy address"},
        {"ProxyWithoutHost", nullptr, nullptr, {"--proxy", "http://"}, "--proxy: http:// is not"},
        {"ProxyPathForHost", nullptr, nullptr, {"--proxy", "http:///x"}, "--proxy: http:///x is not"},
        {"ProxyWithASpace", nullptr, nullptr, {"--proxy", "http://h x"}, "--proxy: http://h x is not"},
        {"CookiesFile", nullptr, "# cookies\nexample.com\tTRUE\t/\tFALSE\t0\ts\t1\n", {"--cookies", "@"}, "",
         [](const Options& o) { return o.cookies.cookiesFor("https://www.example.com/") == "s=1"; }},
        {"CookiesFileFromConfig", "cookies = \"@\"", "example.com\tTRUE\t/\tFALSE\t0\ts\t1", {}, "",
         [](const Options& o) { return o.cookies.size() == 1; }},
        {"CookiesLineMalformed", nullptr, "example.com\tTRUE\t/\tFALSE\t0\ts\t1\nexample.com TRUE", {"--cookies", "@"},
         "the cookies file @, line 2: expected 7 fields"},
        {"CookiesFileMissing", nullptr, nullptr, {"--cookies", "@"},
         "cannot read the cookies file @: No such file or directory"},
        {"CookiesFileAFolder", nullptr, kFolder, {"--cookies", "@"}, "the cookies file @ is not a regular file"},
    };
    for (const ConfigCase& c : cases) {
        TempFolder scratch("lumigrab-config");
        const std::filesystem::path xdg = scratch.path() / "xdg";
        const ScopedEnv env("XDG_CONFIG_HOME", xdg.c_str());
        const std::filesystem::path defaults = DefaultConfigFile();
        ASSERT_EQ(defaults, xdg / "lumigrab" / "lumigrab-cli.toml");
        const std::filesystem::path given = scratch.path() / "given";
        const auto place = [&](std::string text) {
            for (std::size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, given.string());
            for (std::size_t at; (at = text.find("(default)")) != std::string::npos;) text.replace(at, 9, defaults.string());
            return text;
        };
        const auto make = [&](const char* text, const std::filesystem::path& file) {
            std::filesystem::create_directories(file.parent_path());
            if (text == kFolder) {
                std::filesystem::create_directory(file);
            } else if (text != nullptr) {
                const std::string placed = place(text);
                ASSERT_TRUE(testing::WriteFile(file, std::vector<std::uint8_t>(placed.begin(), placed.end())));
            }
        };
        make(c.defaults, defaults);
        make(c.given, given);

        std::vector<std::string> args{"lumigrab-cli"};
        if (std::find(c.args.begin(), c.args.end(), "--") == c.args.end()) args.push_back("cat");
        for (const std::string& arg : c.args) args.push_back(place(arg));
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        ::testing::internal::CaptureStderr();
        const auto parsed = ParseOptions(static_cast<int>(argv.size()), argv.data());
        const std::string printed = ::testing::internal::GetCapturedStderr();
        if (c.refusal.empty()) {
            ASSERT_TRUE(std::holds_alternative<Options>(parsed)) << c.name << ": " << printed;
            EXPECT_TRUE(c.holds == nullptr || c.holds(std::get<Options>(parsed))) << c.name;
        } else {
            EXPECT_EQ(std::get_if<int>(&parsed) != nullptr ? std::get<int>(parsed) : 0, kExitBadArguments) << c.name;
            EXPECT_EQ(printed.rfind("lumigrab-cli: " + place(c.refusal), 0), 0u) << c.name << ": " << printed;
        }
    }
}

// The keywords a run searches and their folders, "keyword>folder|…", or
// the refusal; "@" stands for a folder of keyword files.
struct KeywordCase {
    std::vector<std::string> args;
    std::string searches;
    std::string refusal = {};
};

TEST(OptionsTest, KeywordsComeFromTheCommandLineAndTheFileEachWithItsOwnFolder) {
    TempFolder files("lumigrab-keywords");
    for (const auto& [name, text] : std::vector<std::pair<std::string, std::string>>{
             {"empty", ""},
             {"comments", "# cats\n  # dogs\n\n \t\n"},
             {"list", "\uFEFF# mine\r\n cat \r\n\r\n\tdog\n#x\n猫"},
             {"emoji", "cat\n# fine\n😀dog\n"},
             {"tab", "c\ta\n"}})
        ASSERT_TRUE(testing::WriteFile(files / name, std::vector<std::uint8_t>(text.begin(), text.end())));
    const std::vector<KeywordCase> cases{
        {{"cat"}, "cat>./cat"},
        {{"cat", "-o", "pics"}, "cat>pics"},
        {{"cat", "dog", "cat"}, "cat>./cat|dog>./dog"},
        {{"cat", "dog", "-o", "pics"}, "", "with several keywords the folder (-o) must hold {keyword}"},
        {{"cat", "dog", "-o", "p/{keyword}-{keyword}"}, "cat>p/cat-cat|dog>p/dog-dog"},
        {{"AC/DC", "-o", "/p/{keyword}"}, "AC/DC>/p/AC_DC"},
        {{"..x"}, "..x>./..x"},
        {{"../x"}, "", "the keyword \"../x\" would put its folder (-o ./{keyword}) outside ./"},
        {{".."}, "", "the keyword \"..\" would put"},
        {{"a/..", "-o", "p/{keyword}"}, "", "the keyword \"a/..\" would put its folder (-o p/{keyword}) outside p/"},
        {{"a/../../b", "-o", "/p/{keyword}"}, "", "the keyword \"a/../../b\" would put"},
        {{"a/b", "a_b"}, "", "the keywords \"a/b\" and \"a_b\" would share the folder ./a_b"},
        {{"-i", "@/list"}, "cat>./cat|dog>./dog|猫>./猫"},
        {{"bird", "--input-file", "@/list", "-o", "p/{keyword}"}, "bird>p/bird|cat>p/cat|dog>p/dog|猫>p/猫"},
        {{"bird", "-i", "@/empty"}, "", "the keyword file @/empty holds no keyword"},
        {{"-i", "@/comments"}, "", "the keyword file @/comments holds no keyword"},
        {{"-i", "@/emoji"}, "", "@/emoji, line 3: the keyword has characters that GBK cannot hold: 😀 (U+1F600)"},
        {{"-i", "@/tab"}, "", "@/tab, line 1: the keyword must be without control characters"},
        {{"-i", "@/missing"}, "", "cannot read the keyword file @/missing: No such file or directory"},
        {{"-i", "/dev/zero"}, "", "the keyword file /dev/zero is larger than 4 MiB"},
        {{"-o", "pics"}, "", "KEYWORD or --input-file is required"},
    };
    for (KeywordCase c : cases) {
        if (const auto at = c.refusal.find('@'); at != std::string::npos) c.refusal.replace(at, 1, files.path().string());
        std::string what;
        for (std::string& arg : c.args) {
            if (arg.starts_with('@')) arg.replace(0, 1, files.path().string());
            what += arg + " ";
        }
        const auto [parsed, printed] = Parse(c.args);
        if (c.refusal.empty()) {
            ASSERT_TRUE(std::holds_alternative<Options>(parsed)) << what << ": " << printed;
            const Options& options = std::get<Options>(parsed);
            std::string searches;
            for (const KeywordRun& search : options.keywords)
                searches += (searches.empty() ? "" : "|") + GbkToUtf8(search.keyword) + ">" + search.folder.string();
            EXPECT_EQ(searches, c.searches) << what;
            EXPECT_EQ(options.keyword, options.keywords.front().keyword) << what;
            EXPECT_EQ(options.outFolder, options.keywords.front().folder) << what;
        } else {
            EXPECT_EQ(std::get_if<int>(&parsed) != nullptr ? std::get<int>(parsed) : 0, kExitBadArguments) << what;
            EXPECT_EQ(printed.rfind("lumigrab-cli: " + c.refusal, 0), 0u) << what << ": " << printed;
        }
    }
}

// XDG_CONFIG_HOME when it is an absolute path, else HOME's .config.
TEST(OptionsTest, DefaultConfigFileFollowsTheXdgRules) {
    const std::filesystem::path own = "lumigrab/lumigrab-cli.toml";
    {
        const ScopedEnv xdg("XDG_CONFIG_HOME", "/x"), home("HOME", "/h");
        EXPECT_EQ(DefaultConfigFile(), "/x" / own);
    }
    for (const char* ignored : {"", "relative", static_cast<const char*>(nullptr)}) {
        const ScopedEnv xdg("XDG_CONFIG_HOME", ignored), home("HOME", "/h");
        EXPECT_EQ(DefaultConfigFile(), "/h/.config" / own) << (ignored != nullptr ? ignored : "(unset)");
    }
    const ScopedEnv xdg("XDG_CONFIG_HOME", nullptr), home("HOME", nullptr);
    EXPECT_EQ(DefaultConfigFile(), std::filesystem::path());
}

}  // namespace
}  // namespace lumigrab::cli
