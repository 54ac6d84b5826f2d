#pragma once
// Where a run stores its pictures and how a picture file is written.
#include <filesystem>
#include <span>

#include "platform/program_info.h"
#include "port/window_port.h"

namespace lumigrab {

// The pictures folder (the program folder, when portable) + "/" + `keyword`
// (the keyword box's text when the download started, as UTF-8). When that is
// not an existing folder, logs that it is being made and makes its last level;
// a failure to make it is logged as well. The pictures folder is made again
// first should it have gone since the start; under one that could not be
// worked out nothing is made, and the failure is logged.
std::filesystem::path PrepareSaveFolder(WindowPort& window, const ProgramInfo& program,
                                        const Text& keyword);

// The log line of a folder that could not be made.
void LogFolderNotMade(WindowPort& window, const std::filesystem::path& folder);

// saveFolder + "/" + the save name (as UTF-8) + ".jpg"; the name is not
// changed or escaped.
std::filesystem::path PicturePath(const std::filesystem::path& saveFolder, const Text& saveName);

// Writes `bytes` unchanged to `path`, replacing any file of that name. The
// bytes go to a temporary file beside it first, so `path` never holds a partly
// written picture. False when any step failed; nothing is left behind then.
bool WritePictureFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

}  // namespace lumigrab
