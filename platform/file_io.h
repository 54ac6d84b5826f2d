#pragma once
// The two file-descriptor helpers every writer of ours needs.
#include <cstdint>
#include <span>
#include <utility>

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

}  // namespace lumigrab
