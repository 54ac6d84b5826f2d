#pragma once
// Where the window program keeps what it writes: the skin library and the
// keyword folders of its pictures. A portable copy (a folder of its own that
// it can write in) keeps both beside its executable. An installed copy cannot:
// its folder belongs to the system, so it keeps them in the user's own
// folders. Which folders those are is the platform's business (Linux: the XDG
// folders, platform/platform_linux_places.h).
#include <filesystem>
#include <string_view>
#include <vector>

namespace lumigrab {

struct ProgramPlaces {
    bool installed = false;
    // Where the skin library is written and loaded from. Empty when no such
    // folder could be had: the library is then loaded from memory.
    std::filesystem::path libraryFolder;
    // The keyword folders are made in it, and it is the current directory.
    // One that could not even be worked out (no home folder, an entry that
    // cannot be read) is a relative path naming what is missing, such as
    // "$HOME/Pictures/Lumigrab": nothing is ever made or written under it.
    std::filesystem::path picturesFolder;
    // Every folder that could not be had, in the order met, as the log names
    // it: its path, or the relative name of one not worked out.
    std::vector<std::filesystem::path> unavailable;
};

// True for a folder that was worked out; false for the name of one that was not.
inline bool IsKnownPlace(const std::filesystem::path& folder) { return folder.is_absolute(); }

// Everything beside the executable in `programFolder`.
ProgramPlaces PortablePlaces(const std::filesystem::path& programFolder);

// Decides the places of a program whose executable lies in `programFolder`,
// and makes the folders of an installed one (their missing parents too).
ProgramPlaces PreparePlaces(const std::filesystem::path& programFolder);

// The name the desktop knows the program by: its menu entry, icon and
// metadata files are all named after it.
std::string_view DesktopId();

// Makes `folder` and any missing folder above it, new ones with `mode`. True
// when it is a folder (or a link to one) afterwards.
bool MakeFolders(const std::filesystem::path& folder, unsigned mode);

}  // namespace lumigrab
