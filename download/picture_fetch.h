#pragma once
// One picture from address to file: fetch, picture test, write through a
// temporary name. Shared by every front end, so the window's rows and the
// command line's records are fetched, judged and saved the same way.
#include <atomic>
#include <chrono>
#include <optional>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "download/outcome.h"
#include "net/body_budget.h"
#include "net/http_request.h"
#include "picture/picture.h"

namespace lumigrab {

struct PictureFetch {
    enum class State {
        Saved,        // the body was a picture and is now the file at `path`
        FetchFailed,  // no body: see `failure` (and `status` when a response came)
        NotPicture,   // a body came, but no decoder accepts it
        WriteFailed,  // a picture, but the file could not be written
        Cancelled,    // the cancel flag was raised; nothing was written
        NotKept,      // a picture, but the keep hook turned it down: see `notKept`
    };
    State state = State::FetchFailed;
    int status = 0;  // HTTP status of the final response; 0 when none came
    HttpFailure failure = HttpFailure::None;
    std::uint64_t bytes = 0;  // size of the body, written or not
    std::string sha256;       // lower-case hex of the saved bytes, when asked for and Saved
    int tries = 1;            // requests made for it (more when a busy host was asked again)
    std::optional<std::chrono::seconds> retryAfter;  // what the host asked for, if anything
    // Only with a keep hook: what the picture's header says, and the rule
    // that turned it down, if one did (sha256 is then set as well).
    PictureHeader header;
    struct Verdict {
        bool keep = true;
        DownloadOutcome::Rule rule = DownloadOutcome::Rule::Filtered;
        std::string detail;  // DownloadOutcome::detail
    } notKept;
};

// How the picture of `fetch` ended.
DownloadOutcome OutcomeOf(const PictureFetch& fetch);

// What a front end sees of a tested picture before it is written.
struct PictureFacts {
    std::filesystem::path path;  // where it is to be written
    std::string_view sha256;     // lower-case hex of the body
    std::uint64_t bytes = 0;
    PictureHeader header;
};
// Asked once a body passed the picture test, before it is written; a verdict
// with keep false leaves the file unwritten. Called from workers at once.
using KeepPicture = std::function<PictureFetch::Verdict(const PictureFacts&)>;

struct PictureFetchOptions {
    const std::atomic<bool>* cancel = nullptr;  // may be null
    bool sha256 = false;                        // hash what is saved
    KeepPicture keep;                           // may be empty: every picture is written
};

// Fetches `url` with HttpRequest's defaults, tests the body and writes it
// unchanged to `path`. Nothing is written once `cancel` is raised, not even
// a picture that had fully arrived. `body` is the caller's buffer: its
// storage is reused, and it holds the body afterwards (for copies under
// other names). `held` then covers it in the process's body budget: the
// caller lets it go only with the body, so the budget bounds the bodies
// that are in memory, not only those on their way.
PictureFetch FetchPicture(std::string_view url, const std::filesystem::path& path,
                          const PictureFetchOptions& options, Bytes& body, BodyReservation& held);

// The same with a buffer of its own.
PictureFetch FetchPicture(std::string_view url, const std::filesystem::path& path,
                          const std::atomic<bool>* cancel);

// The same picture, already tested, saved under another name: `fetch` is
// what the first save gave, and the result is that with the state of this
// write.
// With `keep`, a saved picture is put to it again first, as a copy is one
// more of the same picture.
PictureFetch SaveCopy(const PictureFetch& fetch, const Bytes& body, const std::filesystem::path& path,
                      const KeepPicture& keep = {});

// Lower-case hex SHA-256 of `bytes`.
std::string Sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace lumigrab
