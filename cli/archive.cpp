#include "cli/archive.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace lumigrab::cli {
namespace {

// Long enough for another copy's burst of rows; short enough that a copy
// holding the file for good is reported rather than waited on forever.
constexpr int kBusyMilliseconds = 30000;

constexpr const char* kTable =
    "CREATE TABLE IF NOT EXISTS records("
    " id INTEGER PRIMARY KEY, url TEXT NOT NULL, sha256 TEXT, bytes INTEGER, width INTEGER,"
    " height INTEGER, format TEXT, path TEXT, keyword TEXT NOT NULL, state TEXT NOT NULL,"
    " reason TEXT, time TEXT NOT NULL, pid INTEGER, process TEXT, source_page TEXT, title TEXT,"
    " rank INTEGER, page INTEGER);";
// Archives made before claims, or before records said where they were
// found, lack those columns; a run adds them and keeps every row.
constexpr const char* kLaterColumns[] = {
    "ALTER TABLE records ADD COLUMN pid INTEGER;",        "ALTER TABLE records ADD COLUMN process TEXT;",
    "ALTER TABLE records ADD COLUMN source_page TEXT;",   "ALTER TABLE records ADD COLUMN title TEXT;",
    "ALTER TABLE records ADD COLUMN rank INTEGER;",       "ALTER TABLE records ADD COLUMN page INTEGER;"};
constexpr const char* kIndexes =
    "CREATE INDEX IF NOT EXISTS records_url ON records(url) WHERE state = 'ok';"
    "CREATE INDEX IF NOT EXISTS records_sha256 ON records(sha256) WHERE state = 'ok';"
    "CREATE INDEX IF NOT EXISTS records_by_url ON records(url);"
    "CREATE INDEX IF NOT EXISTS records_claimed_sha256 ON records(sha256) WHERE state = 'fetching';";
// To the millisecond: a run that starts right after another ended must tell
// that one's rows from those of copies at work alongside it.
constexpr const char* kNow = "strftime('%Y-%m-%dT%H:%M:%fZ', 'now')";

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

// Binds a record's fields from `at` on: sha256 to reason in table order,
// then source_page, title, rank and page.
void BindOutcome(sqlite3_stmt* s, int at, const ArchiveRecord& r) {
    BindText(s, at, r.sha256);
    sqlite3_bind_int64(s, at + 1, static_cast<sqlite3_int64>(r.bytes));
    if (r.width > 0) sqlite3_bind_int(s, at + 2, r.width);
    if (r.height > 0) sqlite3_bind_int(s, at + 3, r.height);
    BindText(s, at + 4, r.format);
    BindText(s, at + 5, r.path);
    BindText(s, at + 6, r.keyword);
    BindText(s, at + 7, r.state);
    BindText(s, at + 8, r.reason);
    BindText(s, at + 9, r.sourcePage);
    BindText(s, at + 10, r.title);
    if (r.rank > 0) sqlite3_bind_int64(s, at + 11, r.rank);
    if (r.page >= 0) sqlite3_bind_int(s, at + 12, r.page);
}

const std::string& BootId() {
    static const std::string id = [] {
        std::string text;
        std::ifstream("/proc/sys/kernel/random/boot_id") >> text;
        return text;
    }();
    return id;
}

// A transaction that takes the write lock at once, so what it reads stays
// true until it commits; given up unless committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : db_(db) {
        began_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~Transaction() {
        if (began_ && !committed_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    bool began() const { return began_; }
    bool commit() { return committed_ = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK; }

private:
    sqlite3* db_;
    bool began_ = false;
    bool committed_ = false;
};

}  // namespace

std::optional<ArchiveProcess> ProcessOf(std::int64_t pid) {
    if (pid <= 0) return std::nullopt;
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!file || !std::getline(file, stat)) {
        // Without /proc only the pid tells.
        if (::access("/proc/self/stat", R_OK) == 0) return std::nullopt;
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return std::nullopt;
        return ArchiveProcess{pid, {}};
    }
    // "pid (name) state ppid …": the name may hold anything, so fields are
    // counted from its last ")". The start time is field 22, in ticks since boot.
    const std::size_t name = stat.rfind(')');
    if (name == std::string::npos) return std::nullopt;
    std::istringstream fields(stat.substr(name + 1));
    std::string state, field;
    fields >> state;
    for (int i = 4; i <= 22 && fields >> field; ++i) {
    }
    // A zombie has ended; it only waits to be reaped.
    if (!fields || state == "Z" || state == "X") return std::nullopt;
    return ArchiveProcess{pid, BootId() + "/" + field};
}

ArchiveProcess ThisProcess() {
    const std::int64_t pid = ::getpid();
    return ProcessOf(pid).value_or(ArchiveProcess{pid, {}});
}

bool IsRunning(const ArchiveProcess& process) {
    const std::optional<ArchiveProcess> now = ProcessOf(process.pid);
    if (!now) return false;
    return process.start.empty() || now->start.empty() || process.start == now->start;
}

std::unique_ptr<Archive> Archive::Open(const std::filesystem::path& file, Use use, std::string& error,
                                       ArchiveProcess self) {
    const bool write = use == Use::Write;
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(
        file.c_str(), &raw,
        (write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX, nullptr);
    SqliteDb db(raw);
    const auto fail = [&](const std::string& why) {
        error = "the archive " + file.string() + ": " + why;
        return nullptr;
    };
    if (opened != SQLITE_OK) return fail(Message(db.get()));
    sqlite3_busy_timeout(db.get(), kBusyMilliseconds);
    if (!write) return std::unique_ptr<Archive>(new Archive(std::move(db), std::move(self)));
    // SQLite opens a file it may not write (read-only, immutable) for
    // reading, without a word: found now, not at the first row.
    if (sqlite3_db_readonly(db.get(), "main") == 1) return fail("cannot be written (read-only)");
    // WAL: copies read while one writes. NORMAL: a commit is not synced on
    // its own; a power cut may lose the last rows, never the file.
    // Two copies opening a new archive together race to switch it to WAL and
    // to write the schema; the loser is told "locked" at once, without the
    // busy handler, so it tries again for as long as a busy wait would last.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyMilliseconds);
    std::vector<const char*> schema{"PRAGMA journal_mode=WAL;", "PRAGMA synchronous=NORMAL;", kTable};
    schema.insert(schema.end(), std::begin(kLaterColumns), std::end(kLaterColumns));
    schema.push_back(kIndexes);
    for (const char* sql : schema) {
        for (;;) {
            char* why = nullptr;
            const int result = sqlite3_exec(db.get(), sql, nullptr, nullptr, &why);
            std::string text = why != nullptr ? why : Message(db.get());
            sqlite3_free(why);
            // A column another copy added first, or the table made with it.
            if (result == SQLITE_OK || text.starts_with("duplicate column name")) break;
            const bool locked = (result & 0xFF) == SQLITE_BUSY || (result & 0xFF) == SQLITE_LOCKED;
            if (!locked || std::chrono::steady_clock::now() > giveUp) return fail(text);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    std::unique_ptr<Archive> archive(new Archive(std::move(db), std::move(self)));
    if (std::string why; !archive->begin(why)) return fail(why);
    return archive;
}

SqliteStatement Archive::prepare(const char* sql, std::string& error) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr) != SQLITE_OK) error = Message(db_.get());
    return SqliteStatement(raw);
}

Archive::Holder Archive::holderOf(sqlite3_stmt* statement, int pidColumn) {
    const ArchiveProcess holder{sqlite3_column_int64(statement, pidColumn), ColumnText(statement, pidColumn + 1)};
    if (holder == self_) return Holder::Self;
    return IsRunning(holder) ? Holder::Other : Holder::Gone;
}

bool Archive::begin(std::string& error) {
    std::lock_guard lock(lock_);
    // No transaction: a claim found void stays void, whoever else writes.
    const SqliteStatement now = prepare((std::string("SELECT ") + kNow).c_str(), error);
    if (!now || sqlite3_step(now.get()) != SQLITE_ROW) return false;
    started_ = ColumnText(now.get(), 0);
    const SqliteStatement claims = prepare("SELECT id, pid, process FROM records WHERE state = 'fetching'", error);
    const SqliteStatement drop = prepare("DELETE FROM records WHERE id = ?1", error);
    if (!claims || !drop) return false;
    std::vector<std::int64_t> gone;
    while (sqlite3_step(claims.get()) == SQLITE_ROW)
        if (holderOf(claims.get(), 1) == Holder::Gone) gone.push_back(sqlite3_column_int64(claims.get(), 0));
    sqlite3_reset(claims.get());
    // A void claim left standing misleads no one: it is only untidy.
    for (std::int64_t id : gone) {
        sqlite3_reset(drop.get());
        sqlite3_bind_int64(drop.get(), 1, id);
        sqlite3_step(drop.get());
    }
    return true;
}

Archive::Claim Archive::ClaimAddress(const std::string& url, const std::string& path, const std::string& keyword) {
    std::lock_guard lock(lock_);
    Claim claim;
    Transaction transaction(db_.get());
    if (!transaction.began()) {
        claim.error = Message(db_.get());
        return claim;
    }
    const SqliteStatement saved = prepare("SELECT 1 FROM records WHERE url = ?1 AND state = 'ok' LIMIT 1", claim.error);
    // What processes made of this address: a claim, or a fetch's outcome.
    // A stop is no outcome, and a skip was no fetch.
    const SqliteStatement reached = prepare(
        "SELECT id, state, reason, pid, process, time FROM records WHERE url = ?1 AND pid IS NOT NULL AND"
        " state != 'skipped' AND NOT (state = 'failed' AND reason IS 'stopped')",
        claim.error);
    const SqliteStatement drop = prepare("DELETE FROM records WHERE id = ?1", claim.error);
    const std::string insert = std::string(
        "INSERT INTO records(url, path, keyword, state, time, pid, process) VALUES(?1, ?2, ?3, 'fetching', ") +
        kNow + ", ?4, ?5)";
    const SqliteStatement take = prepare(insert.c_str(), claim.error);
    if (!saved || !reached || !drop || !take) return claim;
    BindText(saved.get(), 1, url);
    if (sqlite3_step(saved.get()) == SQLITE_ROW) {
        claim.kind = Claim::Kind::InArchive;
        return claim;
    }
    BindText(reached.get(), 1, url);
    std::vector<std::int64_t> gone;
    while (sqlite3_step(reached.get()) == SQLITE_ROW) {
        sqlite3_stmt* row = reached.get();
        const std::string state = ColumnText(row, 1);
        const Holder holder = holderOf(row, 3);
        if (holder == Holder::Self) continue;
        if (holder == Holder::Gone && state == "fetching") {
            gone.push_back(sqlite3_column_int64(row, 0));
            continue;
        }
        // Only what a run that ended before this one began left undone is
        // this one's to do again.
        if (holder == Holder::Gone && ColumnText(row, 5) < started_) continue;
        claim.kind = Claim::Kind::Theirs;
        claim.holder = sqlite3_column_int64(row, 3);
        if (state != "fetching") claim.outcome = state + ": " + ColumnText(row, 2);
        return claim;
    }
    for (std::int64_t id : gone) {
        sqlite3_reset(drop.get());
        sqlite3_bind_int64(drop.get(), 1, id);
        sqlite3_step(drop.get());
    }
    BindText(take.get(), 1, url);
    BindText(take.get(), 2, path);
    BindText(take.get(), 3, keyword);
    sqlite3_bind_int64(take.get(), 4, self_.pid);
    BindText(take.get(), 5, self_.start);
    if (sqlite3_step(take.get()) != SQLITE_DONE || !transaction.commit()) {
        claim.error = Message(db_.get());
        return claim;
    }
    claim.kind = Claim::Kind::Fetch;
    claim.row = sqlite3_last_insert_rowid(db_.get());
    return claim;
}

Archive::HashClaim Archive::ClaimHash(const std::string& sha256, const std::string& path) {
    std::lock_guard lock(lock_);
    HashClaim claim;
    Transaction transaction(db_.get());
    if (!transaction.began()) {
        claim.error = Message(db_.get());
        return claim;
    }
    const SqliteStatement saved =
        prepare("SELECT path FROM records WHERE sha256 = ?1 AND state = 'ok' LIMIT 1", claim.error);
    const SqliteStatement pending =
        prepare("SELECT path, pid, process FROM records WHERE sha256 = ?1 AND state = 'fetching'", claim.error);
    const SqliteStatement take = prepare(
        "UPDATE records SET sha256 = ?1 WHERE id = (SELECT id FROM records WHERE state = 'fetching' AND"
        " path = ?2 AND pid = ?3 AND process IS ?4 AND sha256 IS NULL LIMIT 1)",
        claim.error);
    if (!saved || !pending || !take) return claim;
    BindText(saved.get(), 1, sha256);
    if (sqlite3_step(saved.get()) == SQLITE_ROW) {
        claim.kind = HashClaim::Kind::Duplicate;
        claim.earlier = ColumnText(saved.get(), 0);
        return claim;
    }
    BindText(pending.get(), 1, sha256);
    while (sqlite3_step(pending.get()) == SQLITE_ROW) {
        // A void claim's picture may never have been written.
        if (holderOf(pending.get(), 1) == Holder::Gone) continue;
        claim.kind = HashClaim::Kind::Duplicate;
        claim.earlier = ColumnText(pending.get(), 0);
        return claim;
    }
    BindText(take.get(), 1, sha256);
    BindText(take.get(), 2, path);
    sqlite3_bind_int64(take.get(), 3, self_.pid);
    BindText(take.get(), 4, self_.start);
    if (sqlite3_step(take.get()) != SQLITE_DONE || !transaction.commit()) {
        claim.error = Message(db_.get());
        return claim;
    }
    claim.kind = HashClaim::Kind::Keep;
    return claim;
}

bool Archive::Finish(std::int64_t row, const ArchiveRecord& r, std::string& error) {
    {
        std::lock_guard lock(lock_);
        const std::string sql = std::string(
                                    "UPDATE records SET sha256 = ?2, bytes = ?3, width = ?4, height = ?5,"
                                    " format = ?6, path = ?7, keyword = ?8, state = ?9, reason = ?10,"
                                    " source_page = ?11, title = ?12, rank = ?13, page = ?14, time = ") +
                                kNow + " WHERE id = ?1 AND state = 'fetching'";
        const SqliteStatement statement = prepare(sql.c_str(), error);
        if (!statement) return false;
        sqlite3_bind_int64(statement.get(), 1, row);
        BindOutcome(statement.get(), 2, r);
        if (sqlite3_step(statement.get()) != SQLITE_DONE) {
            error = Message(db_.get());
            return false;
        }
        if (sqlite3_changes(db_.get()) == 1) return true;
    }
    // The claim is gone (another copy took this process for ended): the
    // outcome still gets its row.
    return Add(r, error);
}

bool Archive::ReleaseClaims(std::string& error) {
    std::lock_guard lock(lock_);
    const SqliteStatement statement =
        prepare("DELETE FROM records WHERE state = 'fetching' AND pid = ?1 AND process IS ?2", error);
    if (!statement) return false;
    sqlite3_bind_int64(statement.get(), 1, self_.pid);
    BindText(statement.get(), 2, self_.start);
    if (sqlite3_step(statement.get()) != SQLITE_DONE) {
        error = Message(db_.get());
        return false;
    }
    return true;
}

bool Archive::Add(const ArchiveRecord& r, std::string& error) {
    std::lock_guard lock(lock_);
    const std::string sql = std::string(
                                "INSERT INTO records(url, sha256, bytes, width, height, format, path, keyword,"
                                " state, reason, source_page, title, rank, page, time)"
                                " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ") +
                            kNow + ")";
    const SqliteStatement statement = prepare(sql.c_str(), error);
    if (!statement) return false;
    BindText(statement.get(), 1, r.url);
    BindOutcome(statement.get(), 2, r);
    if (sqlite3_step(statement.get()) != SQLITE_DONE) {
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
