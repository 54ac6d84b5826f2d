#pragma once
// One picture from address to file: fetch, picture test, write through a
// temporary name. Shared by every front end, so the window's rows and the
// command line's records are fetched, judged and saved the same way.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string_view>

#include "net/http_request.h"

namespace lumigrab {

struct PictureFetch {
    enum class State {
        Saved,        // the body was a picture and is now the file at `path`
        FetchFailed,  // no body: see `failure` (and `status` when a response came)
        NotPicture,   // a body came, but no decoder accepts it
        WriteFailed,  // a picture, but the file could not be written
        Cancelled,    // the cancel flag was raised; nothing was written
    };
    State state = State::FetchFailed;
    int status = 0;  // HTTP status of the final response; 0 when none came
    HttpFailure failure = HttpFailure::None;
    std::uint64_t bytes = 0;  // size of the body, written or not
};

// Fetches `url` with HttpRequest's defaults, tests the body and writes it
// unchanged to `path`. Nothing is written once `cancel` (may be null) is
// raised, not even a picture that had fully arrived.
PictureFetch FetchPicture(std::string_view url, const std::filesystem::path& path,
                          const std::atomic<bool>* cancel);

}  // namespace lumigrab
