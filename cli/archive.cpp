#include "cli/archive.h"

#include <chrono>
#include <thread>

namespace lumigrab::cli {
namespace {

// Long enough for another copy's burst of rows; short enough that a copy
// holding the file for good is reported rather than waited on forever.
constexpr int kBusyMilliseconds = 30000;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS records("
    " id INTEGER PRIMARY KEY, url TEXT NOT NULL, sha256 TEXT, bytes INTEGER, width INTEGER,"
    " height INTEGER, format TEXT, path TEXT, keyword TEXT NOT NULL, state TEXT NOT NULL,"
    " reason TEXT, time TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS records_url ON records(url) WHERE state = 'ok';"
    "CREATE INDEX IF NOT EXISTS records_sha256 ON records(sha256) WHERE state = 'ok';";

std::string Message(sqlite3* db) { return db != nullptr ? sqlite3_errmsg(db) : "out of memory"; }

void BindText(sqlite3_stmt* statement, int at, const std::string& text) {
    if (text.empty()) {
        sqlite3_bind_null(statement, at);
    } else {
        sqlite3_bind_text(statement, at, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
}

std::string ColumnText(sqlite3_stmt* statement, int column) {
    const auto* text = sqlite3_column_text(statement, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : std::string();
}

}  // namespace

std::unique_ptr<Archive> Archive::Open(const std::filesystem::path& file, bool create, std::string& error) {
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(
        file.c_str(), &raw, SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX, nullptr);
    SqliteDb db(raw);
    const auto fail = [&](const std::string& why) {
        error = "the archive " + file.string() + ": " + why;
        return nullptr;
    };
    if (opened != SQLITE_OK) return fail(Message(db.get()));
    sqlite3_busy_timeout(db.get(), kBusyMilliseconds);
    // WAL: copies read while one writes. NORMAL: a commit is not synced on
    // its own; a power cut may lose the last rows, never the file.
    // Two copies opening a new archive together race to switch it to WAL and
    // to write the schema; the loser is told "locked" at once, without the
    // busy handler, so it tries again for as long as a busy wait would last.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyMilliseconds);
    for (const char* sql : {"PRAGMA journal_mode=WAL;", "PRAGMA synchronous=NORMAL;", kSchema}) {
        for (;;) {
            char* why = nullptr;
            const int result = sqlite3_exec(db.get(), sql, nullptr, nullptr, &why);
            if (result == SQLITE_OK) break;
            std::string text = why != nullptr ? why : Message(db.get());
            sqlite3_free(why);
            const bool locked = (result & 0xFF) == SQLITE_BUSY || (result & 0xFF) == SQLITE_LOCKED;
            if (!locked || std::chrono::steady_clock::now() > giveUp) return fail(text);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    return std::unique_ptr<Archive>(new Archive(std::move(db)));
}

SqliteStatement Archive::prepare(const char* sql, std::string& error) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr) != SQLITE_OK) error = Message(db_.get());
    return SqliteStatement(raw);
}

bool Archive::HasAddress(const std::string& url) {
    std::lock_guard lock(lock_);
    std::string error;
    const SqliteStatement statement =
        prepare("SELECT 1 FROM records WHERE url = ?1 AND state = 'ok' LIMIT 1", error);
    if (!statement) return false;
    BindText(statement.get(), 1, url);
    return sqlite3_step(statement.get()) == SQLITE_ROW;
}

std::string Archive::ClaimHash(const std::string& sha256, const std::string& path) {
    std::lock_guard lock(lock_);
    if (const auto found = claimed_.find(sha256); found != claimed_.end()) return found->second;
    std::string error;
    const SqliteStatement statement =
        prepare("SELECT path FROM records WHERE sha256 = ?1 AND state = 'ok' LIMIT 1", error);
    if (statement) {
        BindText(statement.get(), 1, sha256);
        if (sqlite3_step(statement.get()) == SQLITE_ROW) return ColumnText(statement.get(), 0);
    }
    claimed_.emplace(sha256, path);
    return {};
}

void Archive::ReleaseHash(const std::string& sha256) {
    std::lock_guard lock(lock_);
    claimed_.erase(sha256);
}

bool Archive::Add(const ArchiveRecord& r, std::string& error) {
    std::lock_guard lock(lock_);
    const SqliteStatement statement = prepare(
        "INSERT INTO records(url, sha256, bytes, width, height, format, path, keyword, state, reason, time)"
        " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, strftime('%Y-%m-%dT%H:%M:%SZ', 'now'))",
        error);
    if (!statement) return false;
    sqlite3_stmt* s = statement.get();
    BindText(s, 1, r.url);
    BindText(s, 2, r.sha256);
    sqlite3_bind_int64(s, 3, static_cast<sqlite3_int64>(r.bytes));
    if (r.width > 0) sqlite3_bind_int(s, 4, r.width);
    if (r.height > 0) sqlite3_bind_int(s, 5, r.height);
    BindText(s, 6, r.format);
    BindText(s, 7, r.path);
    BindText(s, 8, r.keyword);
    BindText(s, 9, r.state);
    BindText(s, 10, r.reason);
    if (sqlite3_step(s) != SQLITE_DONE) {
        error = Message(db_.get());
        return false;
    }
    return true;
}

std::optional<ArchiveCounts> Archive::Counts(std::string& error) {
    std::lock_guard lock(lock_);
    const SqliteStatement statement =
        prepare("SELECT keyword, state, COUNT(*) FROM records GROUP BY keyword, state", error);
    if (!statement) return std::nullopt;
    ArchiveCounts counts;
    int step;
    while ((step = sqlite3_step(statement.get())) == SQLITE_ROW)
        counts[ColumnText(statement.get(), 0)][ColumnText(statement.get(), 1)] =
            sqlite3_column_int64(statement.get(), 2);
    if (step != SQLITE_DONE) {
        error = Message(db_.get());
        return std::nullopt;
    }
    return counts;
}

}  // namespace lumigrab::cli
