#pragma once
// Facts recorded once at start, before the window exists.
#include <filesystem>
#include <string>

namespace lumigrab {

struct ProgramInfo {
    std::filesystem::path folder;  // the folder holding the executable
    std::string executableName;    // its file name, without the folder
};

// Reads /proc/self/exe (falls back to argv0), and makes the folder the
// current directory.
ProgramInfo RecordProgramInfo(const char* argv0);

}  // namespace lumigrab
