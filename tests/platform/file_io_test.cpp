// Temporary files: a taken name is no failure, and a process that must end at
// once takes its half-written files with it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/file_io.h"
#include "support/files.h"

namespace lumigrab {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> NamesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(folder)) names.push_back(item.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::uint64_t SameNameTwice() {
    static int calls = 0;
    return ++calls <= 2 ? 0xabcdef : 0x123456;
}

TEST(ReplaceFileTest, TakenTemporaryNameIsPassedOver) {
    testing::TempFolder folder("lumigrab-file-io");
    // What a process of another pid namespace with our pid left there.
    const std::string taken = ".lumigrab-" + std::to_string(::getpid()) + "-0000000000abcdef.part";
    ASSERT_TRUE(testing::WriteFile(folder / taken, {1, 2, 3}));
    // Replacing a file goes through a named temporary, whatever the file system.
    ASSERT_TRUE(testing::WriteFile(folder / "picture.jpg", {9}));
    SetTemporaryNameSourceForTesting(&SameNameTwice);
    std::string error;
    const std::uint8_t bytes[] = {7, 8};
    const bool written = ReplaceFile(folder / "picture.jpg", bytes, FileSync::No, &error);
    SetTemporaryNameSourceForTesting(nullptr);
    ASSERT_TRUE(written) << error;
    EXPECT_EQ(testing::ReadFile(folder / "picture.jpg"), (std::vector<std::uint8_t>{7, 8}));
    EXPECT_EQ(testing::ReadFile(folder / taken), (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST(ReplaceFileTest, EndingAtOnceLeavesOnlyTheOldFile) {
    testing::TempFolder folder("lumigrab-file-io");
    const fs::path manifest = folder / "run.jsonl";
    ASSERT_TRUE(testing::WriteFile(manifest, {'o', 'l', 'd'}));
    EXPECT_EXIT(
        {
            ReplaceFileStreamed(
                manifest,
                [&](const ByteSink& sink) -> bool {
                    const std::uint8_t line[] = {'{', '}', '\n'};
                    sink(line);
                    RemoveTemporaryFilesAndExit(130);
                },
                FileSync::No);
        },
        ::testing::ExitedWithCode(130), "");
    EXPECT_EQ(NamesIn(folder.path()), std::vector<std::string>{"run.jsonl"});
    EXPECT_EQ(testing::ReadFile(manifest), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
}

}  // namespace
}  // namespace lumigrab
