#pragma once
// The file helpers every writer of ours needs.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumigrab {

// Owns a file descriptor; closes it once.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    // Closes what it holds and takes `fd` instead.
    void reset(int fd = -1) {
        close();
        fd_ = fd;
    }
    // Closes now, so a writer learns whether the last of its data made it.
    bool close();

private:
    int fd_ = -1;
};

// Writes every byte, resuming after interruptions and short writes. False on
// the first error (the file then holds a part of the bytes).
bool WriteAll(int fd, std::span<const std::uint8_t> bytes);

enum class FileSync {
    No,   // the bytes may still be in the page cache when this returns
    Yes,  // on the disk before the file takes its name
};

// Makes `path` hold exactly `bytes`, replacing any file of that name: the
// bytes go to a temporary file beside it (one with no name where the file
// system allows), which takes the name only once it is whole, so `path`
// never holds a partly written file. False when any step failed;
// nothing is left behind then, and `error` (may be null) names `path` and says why.
bool ReplaceFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes, FileSync sync,
                 std::string* error = nullptr);

// Takes the bytes of a file being written, as often as its producer likes;
// false once a write failed (the producer should then give up).
using ByteSink = std::function<bool(std::span<const std::uint8_t>)>;

// ReplaceFile for content made piece by piece: `produce` hands every piece
// to the sink and returns false to abandon the file. Nothing of the content
// has to be held in memory at once.
bool ReplaceFileStreamed(const std::filesystem::path& path,
                         const std::function<bool(const ByteSink&)>& produce, FileSync sync,
                         std::string* error = nullptr);

// Temporary files are named ".lumigrab-PID-RANDOM.part" and live beside the
// file they become. A name already taken (a process of another pid namespace
// may have had our pid) makes the writer try another random name.
inline constexpr std::string_view kTemporaryPrefix = ".lumigrab-";
inline constexpr std::string_view kTemporarySuffix = ".part";

// Removes every temporary file this process is writing at the moment, then
// ends the process at once with `code`: for a process told to quit now, which
// must not leave its half-written files behind. No new temporary file is made
// once this has begun.
[[noreturn]] void RemoveTemporaryFilesAndExit(int code);

// Removes the temporary files in `folder` whose writer is gone: their pid
// names no running process, or names this one (which has none there yet, so
// they are another namespace's or an earlier life's). Call before writing
// in the folder. Returns how many were removed; errors are ignored.
int RemoveStaleTemporaryFiles(const std::filesystem::path& folder);

// True when a file can be made in `folder` (found by making and removing a
// temporary file there); otherwise false, with `error` (may be null) naming
// the folder and saying why.
bool CanCreateFilesIn(const std::filesystem::path& folder, std::string* error = nullptr);

// Makes `folder` and any missing parent with plain system calls, so a name
// too long or a loop of links is an error, never an exception. False with
// `error` naming the folder.
bool MakeFolders(const std::filesystem::path& folder, std::string* error = nullptr);

// Test knob: where the random part of temporary names comes from; null
// restores the system's random source. Not for production code.
void SetTemporaryNameSourceForTesting(std::uint64_t (*next)());

}  // namespace lumigrab
