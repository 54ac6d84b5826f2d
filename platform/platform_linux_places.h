#pragma once
// Linux side of the program's places.
//
// Installed: the executable's folder is not writable, or it is the bin folder
// of an installed layout (PREFIX/bin beside PREFIX/share/applications/ID.desktop),
// which root or a user installing under their own home could write in but
// must not fill. Then the skin library goes to $XDG_DATA_HOME/lumigrab
// (default ~/.local/share/lumigrab) and pictures to PICTURES/Lumigrab, where
// PICTURES is XDG_PICTURES_DIR from $XDG_CONFIG_HOME/user-dirs.dirs (default
// ~/.config/user-dirs.dirs) when that file sets it, else ~/Pictures.
#include <functional>
#include <string>
#include <string_view>

#include "platform/program_places.h"

namespace lumigrab {

// What the decision reads of the process; tests give their own.
struct PlaceFacts {
    // An environment variable, or null when it is not set.
    std::function<const char*(const char* name)> variable;
    // Whether this process may make files in `folder`.
    std::function<bool(const std::filesystem::path& folder)> writable;
};

// The environment and access(2) of this process.
PlaceFacts SystemPlaceFacts();

ProgramPlaces PreparePlaces(const std::filesystem::path& programFolder, const PlaceFacts& facts);

// What user-dirs.dirs says of the Pictures folder. The file is written for
// shells to read: lines XDG_NAME_DIR="VALUE", where VALUE is "$HOME", or
// "$HOME/..." or an absolute path, with \ escaping the character after it.
// Comments, blank lines and other names' lines are passed over; of several
// XDG_PICTURES_DIR lines the last counts, as in a shell.
struct PicturesEntry {
    enum class Kind {
        Absent,     // no XDG_PICTURES_DIR line
        UnderHome,  // `path` follows the home folder: "" or "/..."
        Absolute,   // `path` is the folder
        Malformed,  // a line for it that says nothing usable
    };
    Kind kind = Kind::Absent;
    std::string path;
};
PicturesEntry ReadPicturesEntry(std::string_view userDirs);

// Larger user-dirs.dirs files are not read (counted as malformed): the real
// ones are a few hundred bytes.
inline constexpr std::size_t kUserDirsLimit = 64 * 1024;

}  // namespace lumigrab
