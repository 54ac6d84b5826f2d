#pragma once
// The manifest: one JSON object per line and per record, so that scripts can
// read what a run did and a later run can finish it (--resume).
//
//   {"save_name":"img 3","path":"./cat/img 3.jpg","url":"http://…","thumbnail_url":"http://…",
//    "width":500,"height":375,"state":"ok","reason":null,"bytes":48213,"sha256":"9f86…",
//    "keyword":"cat","folder":"./cat","source_page":"http://…","title":"A cat","rank":3,"page":0}
//
// "state" is "ok", "failed", or "skipped", "duplicate", "filtered" for a
// picture passed over on purpose (--archive, the filters); "reason" says why
// a record is not ok ("HTTP 404", "not a picture", "too slow", "write failed",
// "stopped", "in archive", "being fetched by process 4711", "same as
// ./cat/img 2.jpg", …). "bytes" counts what came over the wire; for "ok" it
// is the size of the file whose SHA-256 follows. Width and height are
// numbers when the page gave numbers, strings when it gave something else,
// null when it gave nothing. "keyword" and
// "folder" are the record's KEYWORD and picture folder (a run of several
// keywords writes all of theirs into one manifest); "path" is always the
// folder and the save name, written for scripts and never followed on reading.
// "source_page" and "title" are the page the service found the picture on
// and its title as plain text; "rank" the record's 1-based place in the
// service's order over the run's pages and "page" its 0-based result page
// (null in records of manifests written before they were kept).
#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "download/outcome.h"
#include "text/text.h"

namespace lumigrab::cli {

// Longer addresses are not kept (no server takes them). With this bound no
// record the command makes has a line longer than kMaxManifestLine, so
// whatever it writes it reads back.
inline constexpr std::size_t kMaxAddressBytes = std::size_t{64} << 10;
inline constexpr std::size_t kMaxManifestLine = std::size_t{4} << 20;

// One picture of a run. The page's texts share one allocation, so a record
// costs its texts and about a hundred bytes more. Every text is UTF-8: the
// harvest's system text is converted once, where its records become entries.
class Entry {
public:
    Entry() = default;
    Entry(std::string_view saveName, std::string_view address, std::string_view thumbnail,
          std::string_view width, std::string_view height, std::string_view sourcePage = {},
          std::string_view title = {});

    std::string_view saveName() const { return field(0); }
    std::string_view address() const { return field(1); }
    std::string_view thumbnail() const { return field(2); }
    std::string_view width() const { return field(3); }
    std::string_view height() const { return field(4); }
    std::string_view sourcePage() const { return field(5); }
    std::string_view title() const { return field(6); }

    // 0 and -1 where unknown (records read from older manifests).
    std::uint32_t rank = 0;  // 1-based, over the run's pages in the service's order
    std::int32_t page = -1;  // 0-based result page

    // How the record ended, in two bytes rather than a DownloadOutcome:
    // `reason` keeps the rest in words, which is also all an older manifest
    // gives. A record not fetched yet counts as failed.
    DownloadOutcome::Kind outcome = DownloadOutcome::Kind::Failed;
    DownloadOutcome::Rule rule = DownloadOutcome::Rule::Filtered;  // with NotKept
    bool ok() const { return outcome == DownloadOutcome::Kind::Saved; }
    std::string reason;                    // why not ok
    // Takes how the record's picture ended, its reason in ReasonWords.
    void setOutcome(const DownloadOutcome& ended);
    std::uint64_t bytes = 0;
    std::array<std::uint8_t, 32> sha256{};  // only when ok

private:
    std::string_view field(int index) const;

    std::string texts_;
    std::array<std::uint32_t, 7> ends_{};
};

// The manifest's "state" of a record that ended so: "ok", "failed",
// "skipped", "duplicate" or "filtered". The archive and the console use the
// same words.
std::string_view StateWord(DownloadOutcome::Kind kind, DownloadOutcome::Rule rule);
inline std::string_view StateWord(const Entry& entry) { return StateWord(entry.outcome, entry.rule); }

// The manifest's "reason" for an outcome ("HTTP 404", "same as ./cat/img 2.jpg");
// empty for a saved picture.
std::string ReasonWords(const DownloadOutcome& outcome);

// The 32 bytes of a SHA-256 written as 64 hex digits; false for anything else.
bool Sha256FromHex(std::string_view hex, std::array<std::uint8_t, 32>& out);

// What a manifest belongs to: the KEYWORD (UTF-8) and the picture folder.
struct ManifestRun {
    std::string keyword;
    std::filesystem::path folder;
};

// Where an entry's picture goes: always inside the run's folder.
std::filesystem::path PathOf(const ManifestRun& run, const Entry& entry);

// Why `saveName` cannot name a file inside the folder; empty
// when it can.
std::string SaveNameProblem(std::string_view saveName);

// One line, without its line break.
std::string ManifestLine(const ManifestRun& run, const Entry& entry);

// One search's part of a manifest; a run of several keywords writes a part
// for each.
struct ManifestPart {
    const ManifestRun* run;
    const std::vector<Entry>* entries;
};

// Writes every part's entries, a line at a time, through a temporary file
// beside `file`, so the file is always either the old manifest or the whole
// new one. False with `error`, which names `file`.
bool WriteManifest(const std::filesystem::path& file, std::span<const ManifestPart> parts, std::string& error);

// The entries of a manifest, read a line at a time, one list per run of
// `runs` in their order: each record goes to the run its "keyword" names.
// nullopt with `error` ("FILE, line 4: …") when the file is not a regular
// file or any line is not a record of one of `runs`: a keyword none of them
// has, another folder than its run's, a save name that is no plain file
// name, or a path outside the folder. Manifests without "keyword" and
// "folder" are taken for the run's own when there is only one run. Empty
// lines are skipped.
std::optional<std::vector<std::vector<Entry>>> ReadManifest(const std::filesystem::path& file,
                                                            std::span<const ManifestRun> runs, std::string& error);

}  // namespace lumigrab::cli
