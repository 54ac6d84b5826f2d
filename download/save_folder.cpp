#include "download/save_folder.h"

#include <string>
#include <system_error>

#include "platform/file_io.h"
#include "port/log.h"
#include "text/encoding.h"

namespace lumigrab {

std::filesystem::path PrepareSaveFolder(WindowPort& window, const ProgramInfo& program,
                                        const Text& keyword) {
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
    // Not synced, as ever: a picture a crash loses can be fetched again.
    return ReplaceFile(path, bytes, FileSync::No);
}

}  // namespace lumigrab
