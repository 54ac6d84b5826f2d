#pragma once
// Everything the command prints, from whichever thread. Data goes to stdout:
// on a terminal one progress line that rewrites itself, otherwise one line
// per finished picture. Notes and errors go to stderr, after the progress
// line has been ended so the two never mix. A failed write to stdout is
// the end of the run's output: nothing more goes there, and whoever asked
// is told once.
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "cli/manifest.h"

namespace lumigrab::cli {

// `text` for one tab-separated field: control characters (tabs and line
// breaks among them) as %XX, so one record stays one line.
std::string TabField(std::string_view text);

// "2 skipped, 9 duplicate" for counts by state; empty when there are none.
std::string HeldSummary(const std::map<std::string, int>& held);

class Console {
public:
    // `stdoutOpen` false: standard output was closed when the command
    // started, so writing to it fails.
    Console(bool terminal, bool quiet, bool stdoutOpen = true);

    // Called once, at the first failed write to stdout, from the thread
    // that met it; it must not call back into the console.
    void onOutputError(std::function<void()> failed);

    // Starts counting a download of `total` pictures.
    void begin(int total);
    // `count` more pictures join the download under way.
    void more(int count);
    // One picture, fetched from `url` into `path`, is done;
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
    // A line of data on stdout (the records of --list-only), buffered;
    // false once stdout failed.
    bool data(const std::string& line);
    // Hands what stdout buffers to the system; false once stdout failed.
    bool flush();
    // The errno of the first failed write to stdout; 0 while none failed.
    int outputError() const;

    int done() const;
    int failed() const;  // neither ok nor passed over on purpose
    int held() const;    // passed over on purpose (Held)
    // "2 skipped, 9 duplicate"; empty when none was passed over.
    std::string heldSummary() const;
    // Those passed over on purpose, by state.
    std::map<std::string, int> heldCounts() const;

private:
    using Clock = std::chrono::steady_clock;
    void drawLocked(bool force);
    void breakLineLocked();
    // Writes to stdout, flushed with `flush`; false once stdout failed.
    bool writeLocked(std::string_view text, bool flush);

    const bool terminal_;
    const bool quiet_;
    const bool stdoutOpen_;
    std::function<void()> outputFailed_;
    mutable std::mutex mutex_;
    int total_ = 0;
    int done_ = 0;
    int failed_ = 0;
    std::map<std::string, int> held_;
    bool lineOpen_ = false;
    int outputError_ = 0;
    Clock::time_point start_ = Clock::now();
    Clock::time_point lastDraw_{};
};

}  // namespace lumigrab::cli
