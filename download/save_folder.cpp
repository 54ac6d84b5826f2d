#include "download/save_folder.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

#include "platform/file_io.h"
#include "port/controls.h"
#include "port/log.h"
#include "text/encoding.h"

namespace lumigrab {
namespace {

// Unique within the process (counter) and across processes (pid), and short,
// so it fits wherever the final name fits.
std::filesystem::path TemporaryPathBeside(const std::filesystem::path& path) {
    static std::atomic<unsigned long> sequence{0};
    std::string name = ".lumigrab-" + std::to_string(::getpid()) + "-" +
                       std::to_string(sequence.fetch_add(1)) + ".part";
    return path.parent_path() / name;
}

}  // namespace

std::filesystem::path PrepareSaveFolder(WindowPort& window, const ProgramInfo& program) {
    Text keyword = window.text(ctl::kKeyword);
    std::filesystem::path folder = program.folder.string() + "/" + GbkToUtf8(keyword);
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) {
        AppendLog(window, Gbk("软件没发现原有目录已自动生成了目录************************"));
        // Only the last level: a keyword naming a folder inside a missing one
        // is not a reason to build a tree under the program folder.
        std::filesystem::create_directory(folder, ec);
        if (ec) AppendLog(window, Gbk("目录创建失败:") + Utf8ToGbk(folder.string()));
    }
    return folder;
}

std::filesystem::path PicturePath(const std::filesystem::path& saveFolder, const Text& saveName) {
    return std::filesystem::path(saveFolder.string() + "/" + GbkToUtf8(saveName) + ".jpg");
}

bool WritePictureFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    std::filesystem::path temporary = TemporaryPathBeside(path);
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (fd.get() < 0) return false;
    bool ok = WriteAll(fd.get(), bytes);
    ok = fd.close() && ok;
    ok = ok && std::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

}  // namespace lumigrab
