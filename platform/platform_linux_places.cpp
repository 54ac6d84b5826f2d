#include "platform/platform_linux_places.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <system_error>

#include "platform/file_io.h"

namespace lumigrab {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kPicturesKey = "XDG_PICTURES_DIR";
constexpr std::string_view kHomeWord = "$HOME";
// The folder of ours inside the user's Pictures folder and data folder.
constexpr const char* kOwnFolderName = "Lumigrab";
constexpr const char* kDataFolderName = "lumigrab";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool IsNameChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// The value after `XDG_PICTURES_DIR=`, read as a shell would read the only
// form the file has: one double-quoted word, nothing after it but blanks or
// a comment.
PicturesEntry ReadValue(std::string_view rest) {
    const PicturesEntry malformed{PicturesEntry::Kind::Malformed, {}};
    if (rest.empty() || rest.front() != '"') return malformed;
    std::string value;
    bool home = false;
    std::size_t i = 1;
    for (;; ++i) {
        if (i >= rest.size()) return malformed;  // never closed
        const char c = rest[i];
        if (c == '"') break;
        if (c == '\\') {
            // No path holds a NUL: one would cut it short where it stands.
            if (++i >= rest.size() || rest[i] == '\0') return malformed;
            value += rest[i];
        } else if (c == '$') {
            // Only a leading $HOME, and only as a whole word.
            if (i != 1 || rest.substr(i, kHomeWord.size()) != kHomeWord) return malformed;
            i += kHomeWord.size() - 1;
            home = true;
        } else if (c == '`' || c == '\0') {
            return malformed;
        } else {
            value += c;
        }
    }
    for (++i; i < rest.size() && IsBlank(rest[i]); ++i) {
    }
    if (i < rest.size() && rest[i] != '#') return malformed;
    if (home) {
        if (!value.empty() && value.front() != '/') return malformed;  // $HOMEX
        return {PicturesEntry::Kind::UnderHome, value};
    }
    if (value.empty() || value.front() != '/') return malformed;
    return {PicturesEntry::Kind::Absolute, value};
}

// The variable's value when it is an absolute path; as the XDG rules say, a
// relative one counts as unset.
std::optional<fs::path> AbsoluteVariable(const PlaceFacts& facts, const char* name) {
    const char* value = facts.variable(name);
    if (value == nullptr || value[0] != '/') return std::nullopt;
    return fs::path(value);
}

// $VARIABLE, else HOME/fallback, else the name "$HOME/fallback".
fs::path BaseFolder(const PlaceFacts& facts, const char* variable, const std::optional<fs::path>& home,
                    const char* fallback) {
    if (auto set = AbsoluteVariable(facts, variable)) return *set;
    if (home) return *home / fallback;
    return fs::path(kHomeWord) / fallback;
}

// Failed: the file is there but cannot be read whole within the limit (a
// folder, a pipe, no permission, too long).
enum class ReadOutcome { Read, Missing, Failed };
ReadOutcome ReadSmallFile(const fs::path& path, std::string& content) {
    // O_NONBLOCK: a pipe put at that name must not hold up the start.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) return errno == ENOENT ? ReadOutcome::Missing : ReadOutcome::Failed;
    struct stat info{};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return ReadOutcome::Failed;
    content.clear();
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return ReadOutcome::Failed;
        if (got == 0) return ReadOutcome::Read;
        if (content.size() + static_cast<std::size_t>(got) > kUserDirsLimit) return ReadOutcome::Failed;
        content.append(buffer, static_cast<std::size_t>(got));
    }
}

// The user's Pictures folder, or the name of the one that could not be
// worked out.
fs::path PicturesBase(const PlaceFacts& facts, const std::optional<fs::path>& home) {
    const fs::path homeOrName = home ? *home : fs::path(kHomeWord);
    const fs::path config = BaseFolder(facts, "XDG_CONFIG_HOME", home, ".config");
    // Without a home folder there is no knowing what the user's file says.
    if (!IsKnownPlace(config)) return homeOrName / "Pictures";
    std::string content;
    const ReadOutcome read = ReadSmallFile(config / "user-dirs.dirs", content);
    const fs::path unreadable = std::string("$") + std::string(kPicturesKey);
    if (read == ReadOutcome::Failed) return unreadable;
    const PicturesEntry entry =
        read == ReadOutcome::Missing ? PicturesEntry{} : ReadPicturesEntry(content);
    switch (entry.kind) {
        case PicturesEntry::Kind::Absent:
            return homeOrName / "Pictures";
        case PicturesEntry::Kind::UnderHome:
            return fs::path(homeOrName.string() + entry.path);
        case PicturesEntry::Kind::Absolute:
            return fs::path(entry.path);
        case PicturesEntry::Kind::Malformed:
            break;
    }
    return unreadable;
}

bool IsInstalled(const fs::path& programFolder, const PlaceFacts& facts) {
    if (!facts.writable(programFolder)) return true;
    const fs::path entry =
        programFolder.parent_path() / "share" / "applications" / (std::string(DesktopId()) + ".desktop");
    std::error_code ec;
    return fs::exists(entry, ec);
}

}  // namespace

PicturesEntry ReadPicturesEntry(std::string_view userDirs) {
    PicturesEntry entry;
    while (!userDirs.empty()) {
        const std::size_t end = userDirs.find('\n');
        std::string_view line = userDirs.substr(0, end);
        userDirs.remove_prefix(end == std::string_view::npos ? userDirs.size() : end + 1);
        while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
        if (!line.starts_with(kPicturesKey)) continue;
        line.remove_prefix(kPicturesKey.size());
        if (!line.empty() && IsNameChar(line.front())) continue;  // another name that starts alike
        entry = !line.empty() && line.front() == '=' ? ReadValue(line.substr(1))
                                                     : PicturesEntry{PicturesEntry::Kind::Malformed, {}};
    }
    return entry;
}

PlaceFacts SystemPlaceFacts() {
    return PlaceFacts{
        [](const char* name) -> const char* { return std::getenv(name); },
        [](const fs::path& folder) { return ::faccessat(AT_FDCWD, folder.c_str(), W_OK, AT_EACCESS) == 0; },
    };
}

ProgramPlaces PreparePlaces(const fs::path& programFolder, const PlaceFacts& facts) {
    if (!IsInstalled(programFolder, facts)) return PortablePlaces(programFolder);
    ProgramPlaces places;
    places.installed = true;
    const std::optional<fs::path> home = AbsoluteVariable(facts, "HOME");

    // The XDG rules ask for new data folders that only their owner can enter.
    const fs::path data = BaseFolder(facts, "XDG_DATA_HOME", home, ".local/share") / kDataFolderName;
    if (IsKnownPlace(data) && MakeFolders(data, 0700)) {
        places.libraryFolder = data;
    } else {
        places.unavailable.push_back(data);
    }

    places.picturesFolder = PicturesBase(facts, home) / kOwnFolderName;
    if (!IsKnownPlace(places.picturesFolder) || !MakeFolders(places.picturesFolder, 0777))
        places.unavailable.push_back(places.picturesFolder);
    return places;
}

ProgramPlaces PreparePlaces(const fs::path& programFolder) {
    return PreparePlaces(programFolder, SystemPlaceFacts());
}

bool MakeFolders(const fs::path& folder, unsigned mode) {
    std::error_code ec;
    if (fs::is_directory(folder, ec)) return true;
    const fs::path parent = folder.parent_path();
    if (!parent.empty() && parent != folder && !MakeFolders(parent, mode)) return false;
    if (::mkdir(folder.c_str(), static_cast<mode_t>(mode)) == 0) return true;
    return errno == EEXIST && fs::is_directory(folder, ec);
}

}  // namespace lumigrab
