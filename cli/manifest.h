#pragma once
// The manifest: one JSON object per line and per record, so that scripts can
// read what a run did and a later run can finish it (--resume).
//
//   {"save_name":"img 3","path":"./cat/img 3.jpg","url":"http://…","thumbnail_url":"http://…",
//    "width":500,"height":375,"state":"ok","reason":null,"bytes":48213,"sha256":"9f86…"}
//
// "state" is "ok" or "failed"; "reason" says why a record failed ("HTTP 404",
// "not a picture", "too slow", "write failed", "stopped", …). "bytes" counts
// what came over the wire; for "ok" it is the size of the file whose SHA-256
// follows. Width and height are numbers when the page gave numbers, strings
// when it gave something else, null when it gave nothing.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "text/text.h"

namespace lumigrab::cli {

// A manifest bigger than this was not written by us.
inline constexpr std::uintmax_t kMaxManifestBytes = std::uintmax_t{256} << 20;
inline constexpr std::size_t kMaxManifestLine = std::size_t{1} << 20;

struct Entry {
    Text saveName;         // system text
    std::string path;      // the picture file, as the file system takes it
    Text address;          // system text, as harvested
    Text thumbnail;
    Text width;
    Text height;
    bool ok = false;
    std::string reason;    // why not ok
    std::uint64_t bytes = 0;
    std::string sha256;    // lower-case hex; only when ok
};

// One line, without its line break.
std::string ManifestLine(const Entry& entry);

// Writes every entry through a temporary file beside `file`, so the file is
// always either the old manifest or the whole new one. False with `error`.
bool WriteManifest(const std::filesystem::path& file, const std::vector<Entry>& entries,
                   std::string& error);

// The entries of a manifest; nullopt with `error` ("line 4: …") when any line
// is not one of ours. Empty lines are skipped.
std::optional<std::vector<Entry>> ReadManifest(const std::filesystem::path& file,
                                               std::string& error);

}  // namespace lumigrab::cli
