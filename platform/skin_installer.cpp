#include "platform/skin_installer.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "text/encoding.h"

namespace lumigrab {
namespace {

using SkinAttachResFn = int (*)(const unsigned char*, int, const char*, int, int, int);

struct DlCloser {
    void operator()(void* handle) const {
        if (handle != nullptr) ::dlclose(handle);
    }
};
using LibraryHandle = std::unique_ptr<void, DlCloser>;

// A file with no name holding the image, loaded through its descriptor. The
// mapping keeps the code once the descriptor is closed.
LibraryHandle LoadFromMemory(std::span<const std::uint8_t> image) {
    UniqueFd fd(::memfd_create(std::string(kSkinLibraryFileName).c_str(), MFD_CLOEXEC));
    if (!fd || !WriteAll(fd.get(), image)) return LibraryHandle();
    const std::string path = "/proc/self/fd/" + std::to_string(fd.get());
    return LibraryHandle(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
}

}  // namespace

Text SkinLoadFailureMessage() {
    return ConcatText(Gbk("运行时出错!"), "\r\n\r\n", Gbk("错误信息："),
                      Gbk("无法找到指定DLL库文件“"), kSkinLibraryFileName,
                      Gbk("”中的输出命令“"), kSkinEntryName, Gbk("”"), "\r\n");
}

bool EnsureSkinLibrary(const std::filesystem::path& libraryPath,
                       std::span<const std::uint8_t> libraryImage) {
    // O_EXCL makes "only when nothing is there" one step: no window between a
    // test and the write in which a file or folder could appear and be
    // clobbered. A dangling symbolic link counts as something there too.
    UniqueFd fd(::open(libraryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755));
    if (!fd) return false;
    if (WriteAll(fd.get(), libraryImage) && ::fsync(fd.get()) == 0) return true;
    // A half-written library must not be left to be found, as present and
    // broken, by every later start.
    ::unlink(libraryPath.c_str());
    return false;
}

std::optional<int> InstallSkin(const std::filesystem::path& libraryFolder,
                               std::span<const std::uint8_t> libraryImage,
                               std::span<const std::uint8_t> skin, WindowPort& window) {
    LibraryHandle library;
    if (libraryFolder.empty()) {
        library = LoadFromMemory(libraryImage);
    } else {
        std::filesystem::path libraryPath = libraryFolder / std::string(kSkinLibraryFileName);
        EnsureSkinLibrary(libraryPath, libraryImage);
        // An absolute path: the library in that folder and no other, not one
        // the loader might find on its search path first.
        library.reset(::dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL));
    }
    SkinAttachResFn attach = nullptr;
    if (library) {
        attach = reinterpret_cast<SkinAttachResFn>(
            ::dlsym(library.get(), std::string(kSkinEntryName).c_str()));
    }
    if (attach == nullptr) {
        window.messageBox(SkinLoadFailureMessage(), Gbk("错误"), MessageIcon::Error);
        return kSkinFailureExitCode;
    }

    // The entry takes an int length; bytes beyond that cannot be a skin, and
    // handing it nothing lets it refuse them instead of reading a cut copy.
    if (skin.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) skin = {};
    // The library gets a buffer of its own, as the caller's bytes may be
    // read-only data of the executable.
    std::vector<unsigned char> buffer(skin.begin(), skin.end());
    static const char kEmpty[] = "";
    attach(buffer.data(), static_cast<int>(buffer.size()), kEmpty, 0, 0, 0);
    // Kept loaded for the life of the process: the installed style lives in it.
    library.release();
    return std::nullopt;
}

}  // namespace lumigrab
