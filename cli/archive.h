#pragma once
// The download archive (--archive FILE): one SQLite database that outlives
// runs and keywords, so a collection is not fetched or stored twice. Several
// copies of the command may use one file at once: WAL mode lets readers and
// the one writer go side by side, and a busy time-out makes a writer wait its
// turn instead of failing. WAL needs every copy on one machine, which is also
// what lets a copy tell whether another is still running.
//
//   records(url, sha256, bytes, width, height, format, path, keyword, state,
//           reason, time, pid, process, source_page, title, rank, page)
//
// One row per picture a run reached: state "ok" (saved), "failed",
// "skipped", "duplicate" or "filtered"; time in UTC, ISO 8601 to the
// millisecond (seconds alone in rows of older versions). An address or
// a SHA-256 counts as archived when an "ok" row has it. Where the picture
// was found (source_page, title, rank, page: as in the manifest) is null in
// rows of older versions, whose archives gain the columns when a run opens
// them.
//
// While a picture is on its way its row is a claim: state "fetching", with
// the process that holds it (pid, and what tells that process from a later
// one with the same pid) and the time it was taken. Its SHA-256 is filled in
// once the picture is in hand and before it is written, and the row takes its
// final state when the fetch is over. A claim whose process is gone is void.
#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace lumigrab::cli {

struct ArchiveRecord {
    std::string url;  // UTF-8, as everything else here
    std::string sha256;
    std::uint64_t bytes = 0;
    int width = 0;
    int height = 0;
    std::string format;
    std::string path;
    std::string keyword;
    std::string state;
    std::string reason;
    std::string sourcePage = {};
    std::string title = {};
    std::uint32_t rank = 0;  // 0: unknown
    std::int32_t page = -1;  // -1: unknown
};

// A process as claims name it.
struct ArchiveProcess {
    std::int64_t pid = 0;
    // The boot and the start time of the process with that pid; empty where
    // the system does not tell (the pid alone then decides).
    std::string start;
    bool operator==(const ArchiveProcess&) const = default;
};
ArchiveProcess ThisProcess();
// The process running as `pid` now; nullopt when none does.
std::optional<ArchiveProcess> ProcessOf(std::int64_t pid);
bool IsRunning(const ArchiveProcess& process);

struct SqliteClose {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct SqliteFinalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using SqliteDb = std::unique_ptr<sqlite3, SqliteClose>;
using SqliteStatement = std::unique_ptr<sqlite3_stmt, SqliteFinalize>;

// Rows counted by keyword and state, in keyword order.
using ArchiveCounts = std::map<std::string, std::map<std::string, std::int64_t>>;

class Archive {
public:
    enum class Use {
        Read,   // to count its rows: never made, never changed
        Write,  // for a run: made when absent, and refused unless it can be written
    };
    // Opens the archive as `self` (claims are taken in its name); nullptr
    // with `error` naming the file. For a run, claims of processes that are
    // gone are cleared.
    static std::unique_ptr<Archive> Open(const std::filesystem::path& file, Use use, std::string& error,
                                         ArchiveProcess self = ThisProcess());

    struct Claim {
        enum class Kind {
            Fetch,      // claimed: fetch it; `row` is the claim
            InArchive,  // saved already, by any run
            Theirs,     // another copy at work alongside has it in hand: `holder`
            Failed,     // the archive could not say: see `error`
        } kind = Kind::Failed;
        std::int64_t row = 0;
        std::int64_t holder = 0;  // Theirs: the pid of the process that has it
        std::string outcome;      // Theirs: "failed: HTTP 404" once it is done with it, else empty
        std::string error;
    };
    // Whether this process may fetch `url` for `path` now, decided and
    // claimed in one transaction. Copies at once share the work: an address
    // another process is fetching, or has fetched while it ran or since
    // this run began, is its (a stop excepted). What runs that ended before
    // this one began could not fetch is fetched again. Claims of this
    // process do not stand in its way: an address listed under several
    // names is one fetch.
    Claim ClaimAddress(const std::string& url, const std::string& path, const std::string& keyword);

    struct HashClaim {
        enum class Kind {
            Keep,       // new: write it; this process's claim for `path` now holds the hash
            Duplicate,  // saved already, or being saved by a claim: `earlier` is where
            Failed,     // the archive could not say: see `error`
        } kind = Kind::Failed;
        std::string earlier;
        std::string error;
    };
    // Whether a picture with this SHA-256, due at `path`, is new, decided and
    // recorded in one transaction. A claim that holds the hash counts as
    // saved: its picture is being written.
    HashClaim ClaimHash(const std::string& sha256, const std::string& path);

    // Gives the claim `row` its outcome; false with `error` when it could not.
    bool Finish(std::int64_t row, const ArchiveRecord& record, std::string& error);
    // Gives up every claim of this process still open.
    bool ReleaseClaims(std::string& error);
    // A row for a picture that was never claimed; false with `error`.
    bool Add(const ArchiveRecord& record, std::string& error);
    std::optional<ArchiveCounts> Counts(std::string& error);

private:
    Archive(SqliteDb db, ArchiveProcess self) : db_(std::move(db)), self_(std::move(self)) {}
    SqliteStatement prepare(const char* sql, std::string& error);
    bool exec(const char* sql, std::string& error);
    // Whose claim the current row of `statement` is, from its pid and
    // process columns: a void one's process is gone.
    enum class Holder { Gone, Other, Self };
    Holder holderOf(sqlite3_stmt* statement, int pidColumn);
    // Notes when this run began, and clears the claims of processes that are gone.
    bool begin(std::string& error);

    std::mutex lock_;  // one statement at a time on the one connection
    SqliteDb db_;
    const ArchiveProcess self_;
    std::string started_;  // when this run began, as rows give their time
};

}  // namespace lumigrab::cli
