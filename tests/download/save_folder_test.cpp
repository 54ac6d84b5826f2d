#include <fstream>

#include "download/picture_fetch.h"
#include "download/save_folder.h"
#include "download_fixture.h"

namespace lumigrab::testing {
namespace {

const Text kFolderFailedPrefix = Gbk("目录创建失败:");
const Text kWriteFailedPrefix = Gbk("文件写入失败:");

TEST_F(DownloadTest, NewFolderLineFollowsStartLineAndOnlyOnce) {
    window.setText(ctl::kKeyword, Gbk("风景"));
    AddRow("v 1", PictureKind::Jpeg, 1);

    RunToEnd();
    auto first = window.history();
    ASSERT_GE(first.size(), 2u);
    EXPECT_EQ(first[0], kStartLine);
    EXPECT_EQ(first[1], kFolderLine);
    EXPECT_TRUE(std::filesystem::is_directory(programFolder.path() / "风景"));

    RunToEnd();
    auto all = window.history();
    auto second = std::vector<Text>(all.begin() + static_cast<long>(first.size()), all.end());
    EXPECT_EQ(second, (std::vector<Text>{kStartLine, CompletionLine(1), kLogCleared, kFinalLine}));
}

TEST_F(DownloadTest, EmptyKeywordSavesIntoProgramFolder) {
    window.setText(ctl::kKeyword, "");
    AddRow("plain 1", PictureKind::Jpeg, 1);

    RunToEnd();

    EXPECT_EQ(window.history().at(1), CompletionLine(1));
    EXPECT_EQ(ReadFile(programFolder.path() / "plain 1.jpg"),
              server.expectedBody(server.pictureUrl(PictureKind::Jpeg, 1)));
}

struct UnwritableCase {
    const char* name;
    const char* keyword;
    // Prepares the program folder so the picture cannot be written.
    void (*prepare)(const std::filesystem::path& programFolder);
    bool folderLines;  // the folder is missing: its lines come first
    // The pictures folder as an installed program names one it could not
    // work out; null for the program folder.
    const char* unknownPictures = nullptr;
};

class Unwritable : public DownloadTest, public ::testing::WithParamInterface<UnwritableCase> {};

TEST_P(Unwritable, RowFailsAndFileIsNamedInLog) {
    const UnwritableCase& c = GetParam();
    c.prepare(programFolder.path());
    if (c.unknownPictures) program.places = {true, {}, c.unknownPictures, {c.unknownPictures}};
    window.setText(ctl::kKeyword, c.keyword);
    AddRow("x 1", PictureKind::Jpeg, 1);
    AddRow(Gbk("图") + " 2", PictureKind::Jpeg, 2);

    RunToEnd();

    EXPECT_EQ(State(0), Gbk("失败"));
    EXPECT_EQ(State(1), Gbk("失败"));
    const std::string folder =
        (c.unknownPictures ? std::string(c.unknownPictures) : programFolder.path().string()) + "/" + c.keyword;
    std::vector<Text> expected{kStartLine};
    if (c.folderLines) {
        expected.push_back(kFolderLine);
        expected.push_back(kFolderFailedPrefix + Utf8ToGbk(folder));
    }
    // One worker at a time (the box's default), so the rows finish in order.
    expected.push_back(kWriteFailedPrefix + Utf8ToGbk(folder + "/x 1.jpg"));
    expected.push_back(CompletionLine(1));
    expected.push_back(kWriteFailedPrefix + Utf8ToGbk(folder + "/图 2.jpg"));
    expected.push_back(CompletionLine(2));
    expected.push_back(kLogCleared);
    expected.push_back(kFinalLine);
    EXPECT_EQ(window.history(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Folder, Unwritable,
    ::testing::Values(
        UnwritableCase{"MissingParent", "gone/sub", [](const std::filesystem::path&) {}, true},
        UnwritableCase{"FileWhereFolderGoes", "clash",
                       [](const std::filesystem::path& p) { std::ofstream(p / "clash") << "x"; }, true},
        UnwritableCase{"DirectoriesWhereFilesGo", "dirs",
                       [](const std::filesystem::path& p) {
                           std::filesystem::create_directories(p / "dirs" / "x 1.jpg");
                           std::filesystem::create_directories(p / "dirs" / "图 2.jpg");
                       },
                       false},
        // Nothing is looked up, made or written under a name: it would be
        // taken as a place in the current directory, where this one is.
        UnwritableCase{"PicturesFolderNotWorkedOut", "kw",
                       [](const std::filesystem::path& p) {
                           std::filesystem::create_directories(p / "$HOME/Pictures/Lumigrab/kw");
                           std::filesystem::current_path(p);
                       },
                       true, "$HOME/Pictures/Lumigrab"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DownloadTest, PicturesFolderGoneSinceTheStartIsMadeAgain) {
    const auto pictures = programFolder.path() / "Pictures" / "Lumigrab";
    program.places = {true, programFolder.path() / "data", pictures, {}};
    window.setText(ctl::kKeyword, "kw");
    AddRow("v 1", PictureKind::Jpeg, 1);

    RunToEnd();

    EXPECT_EQ(window.history().at(1), kFolderLine);
    EXPECT_EQ(window.history().at(2), CompletionLine(1));
    EXPECT_EQ(ReadFile(pictures / "kw" / "v 1.jpg"), server.expectedBody(server.pictureUrl(PictureKind::Jpeg, 1)));
}

TEST(WritePictureFile, ReplacesExistingFileAndLeavesNothingElse) {
    TempFolder folder;
    const auto path = folder.path() / "p.jpg";
    std::ofstream(path) << "an older, longer file than the new one";

    const Bytes bytes{0xFF, 0xD8, 0x00, 0x01, 0x02};
    ASSERT_TRUE(WritePictureFile(path, bytes));

    EXPECT_EQ(ReadFile(path), bytes);
    EXPECT_EQ(FolderEntries(folder.path()), std::vector<std::string>{"p.jpg"});
}

TEST(WritePictureFile, FailureLeavesNoTemporaryFile) {
    TempFolder folder;
    std::filesystem::create_directory(folder.path() / "taken.jpg");

    EXPECT_FALSE(WritePictureFile(folder.path() / "taken.jpg", Bytes{1, 2, 3}));
    EXPECT_FALSE(WritePictureFile(folder.path() / "missing" / "p.jpg", Bytes{1, 2, 3}));

    EXPECT_EQ(FolderEntries(folder.path()), std::vector<std::string>{"taken.jpg"});
    EXPECT_TRUE(std::filesystem::is_empty(folder.path() / "taken.jpg"));
}

// A copy under another name is a write of its own: one that fails is a
// failed item with no checksum, however well the first save went.
TEST(WritePictureFile, CopyStandsOrFallsByItsOwnWrite) {
    TempFolder folder;
    std::filesystem::create_directory(folder.path() / "taken.jpg");
    const Bytes body{0xFF, 0xD8, 0xFF, 0xD9};
    PictureFetch saved;
    saved.state = PictureFetch::State::Saved;
    saved.sha256 = Sha256Hex(body);

    const PictureFetch failed = SaveCopy(saved, body, folder.path() / "taken.jpg");
    EXPECT_EQ(failed.state, PictureFetch::State::WriteFailed);
    EXPECT_EQ(failed.sha256, "");

    const PictureFetch copied = SaveCopy(saved, body, folder.path() / "copy.jpg");
    EXPECT_EQ(copied.state, PictureFetch::State::Saved);
    EXPECT_EQ(copied.sha256, saved.sha256);
    EXPECT_EQ(ReadFile(folder.path() / "copy.jpg"), body);

    PictureFetch notPicture = saved;
    notPicture.state = PictureFetch::State::NotPicture;
    EXPECT_EQ(SaveCopy(notPicture, body, folder.path() / "none.jpg").state, PictureFetch::State::NotPicture);
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "none.jpg"));
}

}  // namespace
}  // namespace lumigrab::testing
