#pragma once
// Facts recorded once at start, before the window exists.
#include <filesystem>
#include <string>

#include "platform/program_places.h"

namespace lumigrab {

struct ProgramInfo {
    std::filesystem::path folder;  // the folder holding the executable
    std::string executableName;    // its file name, without the folder
    ProgramPlaces places;          // where it keeps what it writes
};

// The facts of a program whose executable is `folder`/`executableName`, its
// places decided and made as the program's own are.
ProgramInfo ProgramInfoFor(const std::filesystem::path& folder, std::string executableName);

// Reads /proc/self/exe (falls back to argv0), and makes the pictures folder
// (the program folder, when portable) the current directory.
ProgramInfo RecordProgramInfo(const char* argv0);

}  // namespace lumigrab
