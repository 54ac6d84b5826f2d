#pragma once
// Everything the command prints, from whichever thread. Data goes to stdout:
// on a terminal one progress line that rewrites itself, otherwise one line
// per finished picture. Notes and errors go to stderr, after the progress
// line has been ended so the two never mix.
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "cli/manifest.h"

namespace lumigrab::cli {

// `text` for one tab-separated field: control characters (tabs and line
// breaks among them) as %XX, so one record stays one line.
std::string TabField(std::string_view text);

class Console {
public:
    Console(bool terminal, bool quiet);

    // Starts counting a download of `total` pictures.
    void begin(int total);
    // One picture, fetched from `url` (system text) into `path`, is done;
    // prints its line or redraws the progress line.
    void finished(const Entry& entry, const std::string& path, std::string_view url);
    // Redraws the progress line when a second has passed, so the rate and
    // the time left move while nothing finishes.
    void tick();
    // Ends the progress line for good.
    void end();

    // A line on stderr; notes are dropped in quiet mode, errors never.
    void note(const std::string& text);
    void error(const std::string& text);
    // A line of data on stdout (the records of --list-only).
    void data(const std::string& line);

    int done() const;
    int failed() const;  // neither ok nor passed over on purpose
    int held() const;    // passed over on purpose (Entry::held)
    // "2 skipped, 9 duplicate"; empty when none was passed over.
    std::string heldSummary() const;

private:
    using Clock = std::chrono::steady_clock;
    void drawLocked(bool force);
    void breakLineLocked();

    const bool terminal_;
    const bool quiet_;
    mutable std::mutex mutex_;
    int total_ = 0;
    int done_ = 0;
    int failed_ = 0;
    std::map<std::string, int> held_;
    bool lineOpen_ = false;
    bool stdoutBroken_ = false;
    Clock::time_point start_ = Clock::now();
    Clock::time_point lastDraw_{};
};

}  // namespace lumigrab::cli
