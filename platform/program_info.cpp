#include "platform/program_info.h"

#include <system_error>

namespace lumigrab {

ProgramPlaces PortablePlaces(const std::filesystem::path& programFolder) {
    return ProgramPlaces{false, programFolder, programFolder, {}};
}

std::string_view DesktopId() { return LUMIGRAB_DESKTOP_ID; }

ProgramInfo ProgramInfoFor(const std::filesystem::path& folder, std::string executableName) {
    return ProgramInfo{folder, std::move(executableName), PreparePlaces(folder)};
}

ProgramInfo RecordProgramInfo(const char* argv0) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec || exe.empty()) {
        exe = fs::absolute(argv0 ? fs::path(argv0) : fs::path(), ec);
    }
    ProgramInfo info = ProgramInfoFor(exe.parent_path(), exe.filename().string());
    // A failure leaves the start directory; the log names a folder that
    // could not be made, and nothing is written relative to this one.
    if (IsKnownPlace(info.places.picturesFolder)) fs::current_path(info.places.picturesFolder, ec);
    return info;
}

}  // namespace lumigrab
