#include "platform/skin_installer.h"

#include <dlfcn.h>
#include <link.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "probe/skin_probe.h"
#include "support/fake_window.h"
#include "support/files.h"
#include "text/encoding.h"

namespace lumigrab {
namespace {

namespace fs = std::filesystem;
using testing::FakeWindow;

using testing::ReadFile;
using testing::WriteFile;

Bytes AsBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

// Every test gets its own program folder, so each loads its own copy of the
// probe and reads a record no other test has touched.
class SkinInstallerTest : public ::testing::Test {
protected:
    void SetUp() override {
        scratch_ = std::make_unique<testing::TempFolder>("lumigrab-skin");
        folder_ = scratch_->path();
        probe_ = ReadFile(LUMIGRAB_SKIN_PROBE);
        ASSERT_FALSE(probe_.empty());
    }
    void TearDown() override { scratch_.reset(); }

    fs::path library() const { return folder_ / "libSkinEngine.so"; }

    // The record of the probe loaded from this test's folder, or null when
    // that file was never loaded.
    const SkinProbeRecord* record() const {
        void* handle = ::dlopen(library().c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (handle == nullptr) return nullptr;
        auto fn = reinterpret_cast<SkinProbeLastCallFn>(::dlsym(handle, "SkinProbeLastCall"));
        const SkinProbeRecord* r = fn ? fn() : nullptr;
        ::dlclose(handle);  // drops only the reference NOLOAD added
        return r;
    }

    void ExpectFatal(FakeWindow& window, std::optional<int> result) {
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(*result, -1);
        EXPECT_EQ(*result & 0xff, 255) << "what a parent process sees";
        auto shown = window.messages();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].caption, Gbk("错误"));
        EXPECT_EQ(shown[0].icon, MessageIcon::Error);
        EXPECT_EQ(shown[0].message,
                  Gbk("运行时出错!\r\n\r\n错误信息：无法找到指定DLL库文件“libSkinEngine.so”"
                      "中的输出命令“SkinAttachRes”\r\n"));
    }

    std::unique_ptr<testing::TempFolder> scratch_;
    fs::path folder_;
    Bytes probe_;
    Bytes skin_ = AsBytes(".SKN\x01\nname=t\n");
};

TEST_F(SkinInstallerTest, FirstStartWritesTheImageAndCallsTheEntry) {
    FakeWindow window;
    EXPECT_FALSE(InstallSkin(folder_, probe_, skin_, window).has_value());
    EXPECT_EQ(ReadFile(library()), probe_);
    EXPECT_TRUE(window.messages().empty());
    const SkinProbeRecord* r = record();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->calls, 1);
}

TEST_F(SkinInstallerTest, EntryGetsAPrivateCopyOfExactlyTheSkinAndTheFixedArguments) {
    // A zero byte and high bytes inside: the length, not a terminator, counts.
    Bytes skin = AsBytes(".SKN\x01\nname=a");
    skin.push_back(0);
    skin.push_back(0xd5);
    skin.push_back(0xe2);
    skin.push_back('\n');
    FakeWindow window;
    EXPECT_FALSE(InstallSkin(folder_, probe_, skin, window).has_value());
    const SkinProbeRecord* r = record();
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->calls, 1);
    EXPECT_EQ(r->length, static_cast<int>(skin.size()));
    ASSERT_EQ(r->copied, static_cast<int>(skin.size()));
    EXPECT_EQ(Bytes(r->bytes, r->bytes + r->copied), skin);
    EXPECT_NE(r->bytesAddress, skin.data()) << "the library must get its own buffer";
    EXPECT_EQ(r->textWasNull, 0);
    EXPECT_EQ(r->textLength, 0);
    EXPECT_EQ(r->a, 0);
    EXPECT_EQ(r->b, 0);
    EXPECT_EQ(r->c, 0);
}

TEST_F(SkinInstallerTest, PresentFileWithOtherContentIsNeitherRewrittenNorRefused) {
    // The probe with a tail of extra bytes still loads, and differs from the
    // carried image; the carried image here is not even a library, so a
    // rewrite would show up as a load failure.
    Bytes present = probe_;
    for (char c : std::string_view("older version")) present.push_back(static_cast<std::uint8_t>(c));
    WriteFile(library(), present);
    FakeWindow window;
    EXPECT_FALSE(InstallSkin(folder_, AsBytes("not a library"), skin_, window).has_value());
    EXPECT_EQ(ReadFile(library()), present);
    EXPECT_TRUE(window.messages().empty());
    ASSERT_NE(record(), nullptr);
    EXPECT_EQ(record()->calls, 1);
}

TEST_F(SkinInstallerTest, FolderWithTheLibraryNameIsFatal) {
    fs::create_directory(library());
    FakeWindow window;
    ExpectFatal(window, InstallSkin(folder_, probe_, skin_, window));
    EXPECT_TRUE(fs::is_directory(library())) << "what is present is left alone";
}

TEST_F(SkinInstallerTest, LibraryWithoutTheEntryIsFatal) {
    WriteFile(library(), ReadFile(LUMIGRAB_SKIN_PROBE_NO_ENTRY));
    FakeWindow window;
    ExpectFatal(window, InstallSkin(folder_, probe_, skin_, window));
}

TEST_F(SkinInstallerTest, ImageThatIsNoLibraryIsFatal) {
    FakeWindow window;
    ExpectFatal(window, InstallSkin(folder_, AsBytes("MZ this is not ELF"), skin_, window));
}

TEST_F(SkinInstallerTest, UnwritableProgramFolderIsNotReportedButLoadingFails) {
    FakeWindow window;
    ExpectFatal(window, InstallSkin(folder_ / "no-such-folder", probe_, skin_, window));
}

// Without a folder for it the image is loaded from memory. The loader knows
// such a copy by its descriptor's name, which a later copy could reuse, so
// one load a process: this is the only test that makes one.
TEST_F(SkinInstallerTest, NoFolderLoadsTheImageFromMemoryAndWritesNothing) {
    FakeWindow window;
    ExpectFatal(window, InstallSkin({}, AsBytes("not a library"), skin_, window));

    FakeWindow other;
    EXPECT_FALSE(InstallSkin({}, probe_, skin_, other).has_value());
    EXPECT_TRUE(other.messages().empty());
    const SkinProbeRecord* loaded = nullptr;
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* out) {
            if (!std::string_view(info->dlpi_name).starts_with("/proc/self/fd/")) return 0;
            void* handle = ::dlopen(info->dlpi_name, RTLD_NOW | RTLD_NOLOAD);
            auto fn = handle ? reinterpret_cast<SkinProbeLastCallFn>(::dlsym(handle, "SkinProbeLastCall")) : nullptr;
            *static_cast<const SkinProbeRecord**>(out) = fn ? fn() : nullptr;
            if (handle) ::dlclose(handle);
            return 1;
        },
        &loaded);
    ASSERT_NE(loaded, nullptr) << "no library was loaded from memory";
    EXPECT_EQ(loaded->calls, 1);
    EXPECT_EQ(loaded->length, static_cast<int>(skin_.size()));
    EXPECT_TRUE(fs::is_empty(folder_));
}

TEST_F(SkinInstallerTest, FailureMessageIsShownOnceAndNothingIsCalled) {
    fs::create_directory(library());
    FakeWindow window;
    InstallSkin(folder_, probe_, skin_, window);
    EXPECT_EQ(window.messages().size(), 1u);
    EXPECT_EQ(record(), nullptr);
}

struct PresentCase {
    const char* name;
    void (*make)(const fs::path& at);
};

void PrintTo(const PresentCase& c, std::ostream* os) { *os << c.name; }

class EnsureSkinLibraryKeeps : public ::testing::TestWithParam<PresentCase> {};

TEST_P(EnsureSkinLibraryKeeps, WhateverIsAlreadyThere) {
    const testing::TempFolder scratch("lumigrab-ensure");
    const fs::path& folder = scratch.path();
    fs::path at = folder / "libSkinEngine.so";
    GetParam().make(at);
    auto before = fs::symlink_status(at).type();

    EXPECT_FALSE(EnsureSkinLibrary(at, AsBytes("image")));
    EXPECT_EQ(fs::symlink_status(at).type(), before);
    if (before == fs::file_type::regular) {
        EXPECT_EQ(ReadFile(at), AsBytes("kept"));
    }
    EXPECT_FALSE(fs::exists(folder / "elsewhere")) << "a link is not followed";
}

INSTANTIATE_TEST_SUITE_P(
    Present, EnsureSkinLibraryKeeps,
    ::testing::Values(
        PresentCase{"FileWithOtherContent", [](const fs::path& at) { WriteFile(at, AsBytes("kept")); }},
        PresentCase{"EmptyFile", [](const fs::path& at) {
                        WriteFile(at, {});
                        WriteFile(at, AsBytes("kept"));
                    }},
        PresentCase{"Folder", [](const fs::path& at) { fs::create_directory(at); }},
        PresentCase{"DanglingLink",
                    [](const fs::path& at) { fs::create_symlink(at.parent_path() / "elsewhere", at); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EnsureSkinLibrary, WritesExactlyTheImageWhenNothingIsThere) {
    const testing::TempFolder scratch("lumigrab-ensure");
    const fs::path& folder = scratch.path();
    fs::path at = folder / "libSkinEngine.so";
    Bytes image(70000);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 31 + 7);
    EXPECT_TRUE(EnsureSkinLibrary(at, image));
    EXPECT_EQ(ReadFile(at), image);
    EXPECT_FALSE(EnsureSkinLibrary(at, AsBytes("second")));
    EXPECT_EQ(ReadFile(at), image);
}

}  // namespace
}  // namespace lumigrab
