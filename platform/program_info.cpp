#include "platform/program_info.h"

#include <system_error>

namespace lumigrab {

ProgramInfo RecordProgramInfo(const char* argv0) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec || exe.empty()) {
        exe = fs::absolute(argv0 ? fs::path(argv0) : fs::path(), ec);
    }
    ProgramInfo info;
    info.folder = exe.parent_path();
    info.executableName = exe.filename().string();
    fs::current_path(info.folder, ec);  // a failure leaves the start directory; nothing to report
    return info;
}

}  // namespace lumigrab
