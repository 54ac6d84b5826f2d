#include "download/save_folder.h"

#include <string>
#include <system_error>

#include "platform/file_io.h"
#include "port/log.h"
#include "text/encoding.h"

namespace lumigrab {

std::filesystem::path PrepareSaveFolder(WindowPort& window, const ProgramInfo& program,
                                        const Text& keyword) {
    const std::filesystem::path& pictures = program.places.picturesFolder;
    std::filesystem::path folder = pictures.string() + "/" + GbkToUtf8(keyword);
    // A name, not a folder: looking it up would look in the current directory.
    const bool known = IsKnownPlace(pictures);
    std::error_code ec;
    if (!known || !std::filesystem::is_directory(folder, ec)) {
        AppendLog(window, Gbk("软件没发现原有目录已自动生成了目录************************"));
        // The user's Pictures folder may have been moved away since the start.
        if (known) MakeFolders(pictures, 0777);
        // Only the last level: a keyword naming a folder inside a missing one
        // is not a reason to build a tree under the pictures folder.
        if (known) std::filesystem::create_directory(folder, ec);
        if (!known || ec) LogFolderNotMade(window, folder);
    }
    return folder;
}

void LogFolderNotMade(WindowPort& window, const std::filesystem::path& folder) {
    AppendLog(window, Gbk("目录创建失败:") + Utf8ToGbk(folder.string()));
}

std::filesystem::path PicturePath(const std::filesystem::path& saveFolder, const Text& saveName) {
    return std::filesystem::path(saveFolder.string() + "/" + GbkToUtf8(saveName) + ".jpg");
}

bool WritePictureFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    // Not synced, as ever: a picture a crash loses can be fetched again.
    return ReplaceFile(path, bytes, FileSync::No);
}

}  // namespace lumigrab
