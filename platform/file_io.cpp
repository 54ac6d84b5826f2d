#include "platform/file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace lumigrab {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.release();
    }
    return *this;
}

UniqueFd::~UniqueFd() { close(); }

bool UniqueFd::close() {
    const int fd = release();
    return fd < 0 || ::close(fd) == 0;
}

namespace {

// Unique within the process (counter) and across processes (pid), and short,
// so it fits wherever the final name fits.
std::filesystem::path TemporaryPathBeside(const std::filesystem::path& path) {
    static std::atomic<unsigned long> sequence{0};
    std::string name = ".lumigrab-" + std::to_string(::getpid()) + "-" +
                       std::to_string(sequence.fetch_add(1)) + ".part";
    return path.parent_path() / name;
}

}  // namespace

bool ReplaceFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes, FileSync sync,
                 std::string* error) {
    const std::filesystem::path temporary = TemporaryPathBeside(path);
    const auto fail = [&](const std::filesystem::path& which) {
        if (error != nullptr) *error = which.string() + ": " + std::strerror(errno);
        return false;
    };
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd) return fail(temporary);
    bool ok = WriteAll(fd.get(), bytes) && (sync == FileSync::No || ::fsync(fd.get()) == 0);
    ok = fd.close() && ok;
    if (!ok) fail(temporary);
    if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) ok = fail(path);
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

std::optional<std::vector<std::uint8_t>> ReadFileBounded(const std::filesystem::path& path,
                                                         std::uint64_t limit, std::string* error) {
    const auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = path.string() + ": " + why;
        return std::nullopt;
    };
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return fail(std::strerror(errno));
    std::vector<std::uint8_t> bytes;
    std::uint8_t buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(std::strerror(errno));
        if (n == 0) return bytes;
        if (bytes.size() + static_cast<std::size_t>(n) > limit)
            return fail("larger than " + std::to_string(limit) + " bytes");
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
}

bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace lumigrab
