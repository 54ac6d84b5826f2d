#include "cli/console.h"

#include <cerrno>
#include <cstdio>
#include <utility>

#include "text/encoding.h"

namespace lumigrab::cli {
namespace {

using namespace std::chrono_literals;

std::string Duration(double seconds) {
    const long long s = static_cast<long long>(seconds + 0.5);
    char text[32];
    if (s >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
    }
    return text;
}

// Passed over or turned down on purpose: not a failure, and not saved either.
bool Held(DownloadOutcome::Kind outcome) {
    return outcome == DownloadOutcome::Kind::PassedOver || outcome == DownloadOutcome::Kind::NotKept;
}

}  // namespace

std::string TabField(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}

Console::Console(bool terminal, bool quiet, bool stdoutOpen)
    : terminal_(terminal), quiet_(quiet), stdoutOpen_(stdoutOpen) {}

void Console::onOutputError(std::function<void()> failed) {
    std::lock_guard lock(mutex_);
    outputFailed_ = std::move(failed);
}

void Console::begin(int total) {
    std::lock_guard lock(mutex_);
    total_ = total;
    done_ = 0;
    failed_ = 0;
    held_.clear();
    start_ = Clock::now();
    drawLocked(true);
}

void Console::more(int count) {
    std::lock_guard lock(mutex_);
    total_ += count;
}

void Console::finished(const Entry& entry, const std::string& path, std::string_view url) {
    std::lock_guard lock(mutex_);
    ++done_;
    if (Held(entry.outcome)) {
        ++held_[std::string(StateWord(entry))];
    } else if (!entry.ok()) {
        ++failed_;
    }
    if (quiet_) return;
    if (terminal_) {
        drawLocked(done_ == total_);
        return;
    }
    const std::string line = std::to_string(done_) + "/" + std::to_string(total_) + "\t" +
                             std::string(StateWord(entry)) + (entry.ok() ? "" : ": " + entry.reason) + "\t" +
                             TabField(path) + "\t" + TabField(url) + "\n";
    writeLocked(line, true);
}

void Console::tick() {
    std::lock_guard lock(mutex_);
    if (Clock::now() - lastDraw_ >= 1s) drawLocked(true);
}

void Console::end() {
    std::lock_guard lock(mutex_);
    breakLineLocked();
}

void Console::note(const std::string& text) {
    if (quiet_) return;
    error(text);
}

void Console::error(const std::string& text) {
    std::lock_guard lock(mutex_);
    breakLineLocked();
    std::fprintf(stderr, "lumigrab-cli: %s\n", text.c_str());
}

bool Console::data(const std::string& line) {
    std::lock_guard lock(mutex_);
    return writeLocked(line + '\n', false);
}

bool Console::flush() {
    std::lock_guard lock(mutex_);
    return writeLocked({}, true);
}

int Console::outputError() const {
    std::lock_guard lock(mutex_);
    return outputError_;
}

int Console::done() const {
    std::lock_guard lock(mutex_);
    return done_;
}

int Console::failed() const {
    std::lock_guard lock(mutex_);
    return failed_;
}

int Console::held() const {
    std::lock_guard lock(mutex_);
    int count = 0;
    for (const auto& [state, n] : held_) count += n;
    return count;
}

std::string Console::heldSummary() const { return HeldSummary(heldCounts()); }

std::map<std::string, int> Console::heldCounts() const {
    std::lock_guard lock(mutex_);
    return held_;
}

std::string HeldSummary(const std::map<std::string, int>& held) {
    std::string out;
    using Kind = DownloadOutcome::Kind;
    using Rule = DownloadOutcome::Rule;
    // In the order a picture meets them: archive, filters, de-duplication.
    for (const auto& [kind, rule] : {std::pair{Kind::PassedOver, Rule::Filtered}, std::pair{Kind::NotKept, Rule::Filtered},
                                     std::pair{Kind::NotKept, Rule::Duplicate}}) {
        const std::string_view state = StateWord(kind, rule);
        const auto found = held.find(std::string(state));
        if (found == held.end()) continue;
        if (!out.empty()) out += ", ";
        out += std::to_string(found->second) + " ";
        out += state;
    }
    return out;
}

void Console::drawLocked(bool force) {
    if (!terminal_ || quiet_ || total_ == 0) return;
    const Clock::time_point now = Clock::now();
    // A redraw per finished picture would flood a terminal on a fast run.
    if (!force && now - lastDraw_ < 100ms) return;
    lastDraw_ = now;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const double rate = elapsed > 0 ? done_ / elapsed : 0.0;
    char line[160];
    std::snprintf(line, sizeof line, "\r%d/%d done, %d failed, %.1f pictures/s", done_, total_,
                  failed_, rate);
    std::string text = line;
    // The first moments give no useful estimate.
    if (done_ < total_ && done_ > 0 && elapsed > 0.5)
        text += ", " + Duration((total_ - done_) / rate) + " left";
    text += "\x1b[K";  // whatever a longer earlier line left behind
    lineOpen_ = writeLocked(text, true);
}

void Console::breakLineLocked() {
    if (!lineOpen_) return;
    writeLocked("\n", true);
    lineOpen_ = false;
}

bool Console::writeLocked(std::string_view text, bool flush) {
    if (outputError_ != 0) return false;
    errno = 0;
    // An empty view may hold no pointer at all, which fwrite must not be given.
    const bool written = stdoutOpen_ && (text.empty() || std::fwrite(text.data(), 1, text.size(), stdout) == text.size()) &&
                         (!flush || std::fflush(stdout) == 0);
    if (written) return true;
    outputError_ = !stdoutOpen_ ? EBADF : errno != 0 ? errno : EIO;
    if (outputFailed_) outputFailed_();
    return false;
}

}  // namespace lumigrab::cli
