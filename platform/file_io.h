#pragma once
// The file helpers every writer of ours needs.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
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
// bytes go to a temporary file beside it, which is then renamed over it, so
// `path` never holds a partly written file. False when any step failed;
// nothing is left behind then, and `error` (may be null) says which file and why.
bool ReplaceFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes, FileSync sync,
                 std::string* error = nullptr);

// The whole file when it holds at most `limit` bytes. Otherwise nothing, and
// `error` (may be null) says which file and why.
std::optional<std::vector<std::uint8_t>> ReadFileBounded(const std::filesystem::path& path,
                                                         std::uint64_t limit,
                                                         std::string* error = nullptr);

}  // namespace lumigrab
