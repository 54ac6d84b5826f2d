#pragma once
// Puts the skin library in the program's library folder and applies one skin through it.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>

#include "port/window_port.h"
#include "text/text.h"

namespace lumigrab {

// The library's file name in the program folder, and the entry called in it.
inline constexpr std::string_view kSkinLibraryFileName = "libSkinEngine.so";
inline constexpr std::string_view kSkinEntryName = "SkinAttachRes";

// Exit code after the library or its entry could not be found: -1, which a
// Linux parent sees as 255.
inline constexpr int kSkinFailureExitCode = -1;

// The text of the fatal message box (caption "错误", error icon).
Text SkinLoadFailureMessage();

// Writes `libraryImage` to libraryFolder/libSkinEngine.so unless something is
// already there (a file with any content, a folder), then loads that file and
// calls its SkinAttachRes with a private copy of `skin`, "" and 0, 0, 0.
// An empty `libraryFolder` means there is no folder to keep it in (an
// installed program whose user has no usable data folder): the image is then
// loaded from memory, so the window still comes up and can say why.
// Call on the window thread, before the window is first shown.
//
// Returns nullopt when the program goes on (whatever the entry returned).
// When the library cannot be loaded or lacks the entry it shows the fatal
// message through `window` and returns the exit code to end this process with
// through its normal end sequence (kSkinFailureExitCode).
//
// A loaded library stays loaded for the rest of the process: the style it
// installed runs its code.
std::optional<int> InstallSkin(const std::filesystem::path& libraryFolder,
                               std::span<const std::uint8_t> libraryImage,
                               std::span<const std::uint8_t> skin, WindowPort& window);

// Step one alone: true when the file was written by this call. A failure to
// write is not reported; loading then decides.
bool EnsureSkinLibrary(const std::filesystem::path& libraryPath,
                       std::span<const std::uint8_t> libraryImage);

}  // namespace lumigrab
