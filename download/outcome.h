#pragma once
// How one picture of a download ended, kept as data. Each front end puts it
// into its own words in one place: the window into its row state and log
// line, the command into its manifest, archive and console. Nothing below
// them holds a word for it.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "net/http_request.h"

namespace lumigrab {

struct DownloadOutcome {
    enum class Kind : std::uint8_t {
        Saved,       // the picture is the file at its path
        Failed,      // see `cause`
        NotKept,     // a picture, but a rule of the front end turned it down: see `rule`
        PassedOver,  // not fetched, on purpose: see `passed`
    };
    enum class Cause : std::uint8_t {
        NoResponse,   // no body and no status: `http` says why when it knows
        NotPicture,   // a body came that no decoder accepts; `status` and `http` may say more
        WriteFailed,  // a picture, but its file could not be written
        Stopped,      // a stop came first; nothing was written
        NoAddress,    // there was no address to fetch
        NoThread,     // no worker could be started for it
        NoChecksum,   // written, but its SHA-256 could not be had
    };
    enum class Rule : std::uint8_t {
        Filtered,   // the picture is not what was asked for; `detail` says how
        Duplicate,  // the same picture is kept already, at `detail`
    };
    enum class Passed : std::uint8_t {
        InArchive,  // saved by an earlier run
        OtherCopy,  // another process has it: `process`, and `detail` what it made of it (empty while under way)
    };

    Kind kind = Kind::Failed;
    Cause cause = Cause::NoResponse;    // with Failed
    Rule rule = Rule::Filtered;         // with NotKept
    Passed passed = Passed::InArchive;  // with PassedOver
    int status = 0;                     // HTTP status of the final response; 0 when none came
    HttpFailure http = HttpFailure::None;
    int tries = 1;                                   // requests made for it
    std::optional<std::chrono::seconds> retryAfter;  // the wait a host asked for, if it did
    std::int64_t process = 0;
    std::string detail;

    static DownloadOutcome Saved() { return Of(Kind::Saved); }
    static DownloadOutcome Failed(Cause cause) {
        DownloadOutcome outcome;
        outcome.cause = cause;
        return outcome;
    }
    static DownloadOutcome NotKept(Rule rule, std::string detail) {
        DownloadOutcome outcome = Of(Kind::NotKept);
        outcome.rule = rule;
        outcome.detail = std::move(detail);
        return outcome;
    }
    static DownloadOutcome PassedOver(Passed passed, std::int64_t process = 0, std::string detail = {}) {
        DownloadOutcome outcome = Of(Kind::PassedOver);
        outcome.passed = passed;
        outcome.process = process;
        outcome.detail = std::move(detail);
        return outcome;
    }

private:
    static DownloadOutcome Of(Kind kind) {
        DownloadOutcome outcome;
        outcome.kind = kind;
        return outcome;
    }
};

}  // namespace lumigrab
