#include "platform/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

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

// The temporary files this process is writing, so a process told to quit at
// once can take them with it. Never destroyed: a worker may still be writing
// while the process ends.
struct Temporaries {
    std::mutex mutex;
    std::vector<std::string> live;
};

Temporaries& Live() {
    static Temporaries* const temporaries = new Temporaries;
    return *temporaries;
}

std::atomic<std::uint64_t (*)()> nameSourceOverride{nullptr};

std::uint64_t RandomForName() {
    if (auto* next = nameSourceOverride.load()) return next();
    std::uint64_t value = 0;
    if (::getrandom(&value, sizeof value, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof value)) return value;
    // No entropy yet (early boot): the clock and a counter still differ from
    // one try to the next, and a taken name only costs another try.
    static std::atomic<std::uint64_t> counter{0};
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return now * 0x9E3779B97F4A7C15ull + counter.fetch_add(1);
}

std::string TemporaryName() {
    char random[17];
    std::snprintf(random, sizeof random, "%016llx", static_cast<unsigned long long>(RandomForName()));
    return std::string(kTemporaryPrefix) + std::to_string(::getpid()) + "-" + random +
           std::string(kTemporarySuffix);
}

void ForgetTemporary(const std::string& name);

// Gives a new temporary name in `folder` to a file `make` creates there, and
// counts the name as live; `name` gets its path. `make` returns false with
// errno set; a name some other process holds (EEXIST) is skipped for another.
bool NameTemporaryIn(const std::filesystem::path& folder, std::string& name,
                     const std::function<bool(const std::string&)>& make) {
    constexpr int kTries = 100;
    for (int i = 0; i < kTries; ++i) {
        name = (folder / TemporaryName()).string();
        Temporaries& temporaries = Live();
        // Held across the call, so a process ending at once sees every file
        // that exists or none that will.
        std::lock_guard lock(temporaries.mutex);
        if (make(name)) {
            temporaries.live.push_back(name);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

UniqueFd CreateTemporaryIn(const std::filesystem::path& folder, std::string& name) {
    UniqueFd fd;
    NameTemporaryIn(folder, name, [&fd](const std::string& path) {
        fd.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        return static_cast<bool>(fd);
    });
    return fd;
}

// A file in `folder` with no name at all until it is whole. It needs no
// cleaning up whatever ends the process, and making it does not hold the
// folder's lock while the file system finds an inode, which is where
// workers saving side by side into one folder otherwise queue. Nothing
// when the file system or the kernel cannot, or /proc is missing (the name
// is given through it).
UniqueFd OpenUnnamedIn(const std::filesystem::path& folder) {
#ifdef O_TMPFILE
    static const bool linkable = ::access("/proc/self/fd", X_OK) == 0;
    if (linkable) return UniqueFd(::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644));
#endif
    return UniqueFd();
}

bool LinkUnnamed(int fd, const std::string& path) {
    // Named by the descriptor itself where the kernel lets us (newer
    // kernels for a file the caller made this way, older ones with
    // CAP_DAC_READ_SEARCH), which spares a walk through /proc.
    static std::atomic<bool> byDescriptor{true};
    const bool tried = byDescriptor.load(std::memory_order_relaxed);
    if (tried) {
        if (::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0) return true;
        // A refusal shows as ENOENT, as a folder that is gone would.
        if (errno != ENOENT && errno != EPERM && errno != EINVAL) return false;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const bool linked = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
    // The /proc way worked where the first did not: it was refused, and
    // will be again.
    if (linked && tried) byDescriptor.store(false, std::memory_order_relaxed);
    return linked;
}

// When `keep`, renames the temporary file over `path`; the temporary name
// is gone either way. False with errno set when it was not renamed.
bool SettleTemporary(const std::string& temporary, const std::filesystem::path& path, bool keep) {
    const bool renamed = keep && std::rename(temporary.c_str(), path.c_str()) == 0;
    const int why = errno;
    if (!renamed) ::unlink(temporary.c_str());
    ForgetTemporary(temporary);
    errno = why;
    return renamed;
}

// Names the whole unnamed file `fd` in `folder` as `path`, replacing what
// is there. A file already there is replaced in one rename from a
// temporary name, so `path` always holds the old file or the new one.
bool PublishUnnamed(int fd, const std::filesystem::path& folder, const std::filesystem::path& path) {
    if (LinkUnnamed(fd, path.string())) return true;
    if (errno != EEXIST) return false;
    std::string temporary;
    if (!NameTemporaryIn(folder, temporary, [fd](const std::string& name) { return LinkUnnamed(fd, name); }))
        return false;
    return SettleTemporary(temporary, path, true);
}

void ForgetTemporary(const std::string& name) {
    Temporaries& temporaries = Live();
    std::lock_guard lock(temporaries.mutex);
    const auto found = std::find(temporaries.live.begin(), temporaries.live.end(), name);
    if (found != temporaries.live.end()) temporaries.live.erase(found);
}

bool IsLive(const std::string& name) {
    Temporaries& temporaries = Live();
    std::lock_guard lock(temporaries.mutex);
    return std::find(temporaries.live.begin(), temporaries.live.end(), name) != temporaries.live.end();
}

// The pid in ".lumigrab-PID-….part", or 0 when the name is not one of ours.
pid_t WriterOf(std::string_view name) {
    if (!name.starts_with(kTemporaryPrefix) || !name.ends_with(kTemporarySuffix)) return 0;
    name.remove_prefix(kTemporaryPrefix.size());
    pid_t pid = 0;
    const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (ec != std::errc() || pid <= 0 || end == name.data() + name.size() || *end != '-') return 0;
    return pid;
}

std::string Describe(const std::filesystem::path& path, int error) {
    return path.string() + ": " + std::strerror(error);
}

}  // namespace

bool ReplaceFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes, FileSync sync,
                 std::string* error) {
    return ReplaceFileStreamed(
        path, [bytes](const ByteSink& sink) { return sink(bytes); }, sync, error);
}

bool ReplaceFileStreamed(const std::filesystem::path& path,
                         const std::function<bool(const ByteSink&)>& produce, FileSync sync,
                         std::string* error) {
    int failure = 0;
    const auto fail = [&](int why) {
        if (failure == 0) failure = why != 0 ? why : EIO;
        return false;
    };
    const std::filesystem::path folder = path.parent_path().empty() ? "." : path.parent_path();
    std::string temporary;
    UniqueFd fd = OpenUnnamedIn(folder);
    const bool unnamed = static_cast<bool>(fd);
    if (!unnamed) fd = CreateTemporaryIn(folder, temporary);
    if (!fd) {
        if (error != nullptr) *error = Describe(path, errno);
        return false;
    }
    const ByteSink sink = [&](std::span<const std::uint8_t> bytes) {
        return failure == 0 && (WriteAll(fd.get(), bytes) || fail(errno));
    };
    bool ok = produce(sink) || fail(ECANCELED);
    ok = ok && (sync == FileSync::No || ::fsync(fd.get()) == 0 || fail(errno));
    if (unnamed) {
        ok = ok && (PublishUnnamed(fd.get(), folder, path) || fail(errno));
        // A write the close reports lost must not stay under the name.
        if (!fd.close() && ok) {
            fail(errno);
            ::unlink(path.c_str());
            ok = false;
        }
        if (!ok && error != nullptr) *error = Describe(path, failure);
        return ok;
    }
    ok = (fd.close() || fail(errno)) && ok;
    ok = SettleTemporary(temporary, path, ok) || fail(errno);
    if (!ok && error != nullptr) *error = Describe(path, failure);
    return ok;
}

void RemoveTemporaryFilesAndExit(int code) {
    Temporaries& temporaries = Live();
    // Never given back: a writer that comes for a new name waits here until
    // the process is gone.
    temporaries.mutex.lock();
    for (const std::string& name : temporaries.live) ::unlink(name.c_str());
    std::fflush(nullptr);
    std::_Exit(code);
}

int RemoveStaleTemporaryFiles(const std::filesystem::path& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return 0;
    int removed = 0;
    const pid_t self = ::getpid();
    while (const dirent* item = ::readdir(dir)) {
        const pid_t writer = WriterOf(item->d_name);
        if (writer == 0) continue;
        if (writer != self && !(::kill(writer, 0) == -1 && errno == ESRCH)) continue;
        struct stat info {};
        if (::fstatat(::dirfd(dir), item->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
            continue;
        if (writer == self && IsLive((folder / item->d_name).string())) continue;
        if (::unlinkat(::dirfd(dir), item->d_name, 0) == 0) ++removed;
    }
    ::closedir(dir);
    return removed;
}

bool CanCreateFilesIn(const std::filesystem::path& folder, std::string* error) {
    std::string probe;
    UniqueFd fd = CreateTemporaryIn(folder, probe);
    if (!fd) {
        if (error != nullptr) *error = Describe(folder, errno);
        return false;
    }
    fd.close();
    ::unlink(probe.c_str());
    ForgetTemporary(probe);
    return true;
}

bool MakeFolders(const std::filesystem::path& folder, std::string* error) {
    std::filesystem::path made;
    for (const std::filesystem::path& part : folder) {
        made /= part;
        if (::mkdir(made.c_str(), 0777) == 0) continue;
        int why = errno;
        struct stat info {};
        if (why == EEXIST) {
            if (::stat(made.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
            why = ENOTDIR;
        }
        if (error != nullptr) *error = Describe(folder, why);
        return false;
    }
    return true;
}

void SetTemporaryNameSourceForTesting(std::uint64_t (*next)()) { nameSourceOverride.store(next); }

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
