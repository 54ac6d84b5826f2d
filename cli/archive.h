#pragma once
// The download archive (--archive FILE): one SQLite database that outlives
// runs and keywords, so a collection is not fetched or stored twice. Several
// copies of the command may use one file at once: WAL mode lets readers and
// the one writer go side by side, and a busy time-out makes a writer wait its
// turn instead of failing.
//
//   records(url, sha256, bytes, width, height, format, path, keyword, state,
//           reason, time)
//
// One row per picture a run reached: state "ok" (saved), "failed",
// "skipped", "duplicate" or "filtered"; time in UTC, ISO 8601. An address or
// a SHA-256 counts as archived when an "ok" row has it.
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
};

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
    // Opens the archive, making it when `create`; nullptr with `error`
    // naming the file.
    static std::unique_ptr<Archive> Open(const std::filesystem::path& file, bool create, std::string& error);

    // Whether a picture from `url` was saved by any run.
    bool HasAddress(const std::string& url);
    // Where a picture with this SHA-256 was saved before, by any run or
    // earlier in this one; empty when never. A new hash is taken for `path`
    // at once, so two workers with one picture keep one file.
    std::string ClaimHash(const std::string& sha256, const std::string& path);
    // Gives a claimed hash back (its file could not be written).
    void ReleaseHash(const std::string& sha256);
    // False with `error` when the row could not be added.
    bool Add(const ArchiveRecord& record, std::string& error);
    std::optional<ArchiveCounts> Counts(std::string& error);

private:
    explicit Archive(SqliteDb db) : db_(std::move(db)) {}
    SqliteStatement prepare(const char* sql, std::string& error);

    std::mutex lock_;  // one statement at a time on the one connection
    SqliteDb db_;
    std::map<std::string, std::string> claimed_;  // this run's hashes and their paths
};

}  // namespace lumigrab::cli
