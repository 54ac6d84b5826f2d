// Where the window program keeps its files: beside itself when portable, in
// the user's XDG folders when installed, and what it names when it cannot.
#include "platform/platform_linux_places.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/files.h"

namespace lumigrab {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using Kind = PicturesEntry::Kind;

struct EntryCase {
    const char* name;
    std::string userDirs;
    Kind kind;
    const char* path;
};
void PrintTo(const EntryCase& c, std::ostream* os) { *os << c.name; }

class PicturesEntryOf : public ::testing::TestWithParam<EntryCase> {};

TEST_P(PicturesEntryOf, UserDirsText) {
    const PicturesEntry entry = ReadPicturesEntry(GetParam().userDirs);
    EXPECT_EQ(entry.kind, GetParam().kind);
    EXPECT_EQ(entry.path, GetParam().path);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, PicturesEntryOf,
    ::testing::Values(
        EntryCase{"Empty", "", Kind::Absent, ""},
        EntryCase{"OtherNamesOnly", "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_PICTURES_DIRS=\"/x\"\n", Kind::Absent, ""},
        EntryCase{"UnderHome", "XDG_DESKTOP_DIR=\"$HOME/D\"\nXDG_PICTURES_DIR=\"$HOME/Bilder\"\n",
                  Kind::UnderHome, "/Bilder"},
        EntryCase{"HomeItself", "XDG_PICTURES_DIR=\"$HOME\"", Kind::UnderHome, ""},
        EntryCase{"AbsoluteWithEscapes", "XDG_PICTURES_DIR=\"/d/my \\\"pics\\\" \\$x \\\\\"", Kind::Absolute,
                  "/d/my \"pics\" $x \\"},
        // What a shell reads: comments and indentation pass, the last line
        // counts, CR LF endings and a trailing comment are blanks.
        EntryCase{"LastLineCounts",
                  "# XDG_PICTURES_DIR=\"/no\"\r\n\t XDG_PICTURES_DIR=\"/first\"\r\n"
                  "XDG_PICTURES_DIR=\"$HOME/second\" # set by hand\r\n",
                  Kind::UnderHome, "/second"},
        EntryCase{"GoodLineAfterABadOne", "XDG_PICTURES_DIR=Pics\nXDG_PICTURES_DIR=\"/good\"", Kind::Absolute, "/good"},
        EntryCase{"BadLineAfterAGoodOne", "XDG_PICTURES_DIR=\"/good\"\nXDG_PICTURES_DIR=Pics", Kind::Malformed, ""},
        EntryCase{"Unquoted", "XDG_PICTURES_DIR=$HOME/Pictures", Kind::Malformed, ""},
        EntryCase{"NeverClosed", "XDG_PICTURES_DIR=\"$HOME/Pictures\n", Kind::Malformed, ""},
        EntryCase{"EndsInABackslash", "XDG_PICTURES_DIR=\"/a\\", Kind::Malformed, ""},
        EntryCase{"Relative", "XDG_PICTURES_DIR=\"Pictures\"", Kind::Malformed, ""},
        EntryCase{"EmptyValue", "XDG_PICTURES_DIR=\"\"", Kind::Malformed, ""},
        EntryCase{"EscapedHomeIsRelative", "XDG_PICTURES_DIR=\"\\$HOME/P\"", Kind::Malformed, ""},
        EntryCase{"LongerWordThanHome", "XDG_PICTURES_DIR=\"$HOMEX/P\"", Kind::Malformed, ""},
        EntryCase{"OtherVariable", "XDG_PICTURES_DIR=\"$USER/P\"", Kind::Malformed, ""},
        EntryCase{"HomeNotFirst", "XDG_PICTURES_DIR=\"/a/$HOME\"", Kind::Malformed, ""},
        EntryCase{"Backtick", "XDG_PICTURES_DIR=\"/a/`id`\"", Kind::Malformed, ""},
        EntryCase{"Nul", "XDG_PICTURES_DIR=\"/a\0b\""s, Kind::Malformed, ""},
        EntryCase{"EscapedNul", "XDG_PICTURES_DIR=\"/a\\\0b\""s, Kind::Malformed, ""},
        EntryCase{"WordAfterTheQuote", "XDG_PICTURES_DIR=\"/a\" b", Kind::Malformed, ""},
        EntryCase{"BlankBeforeEquals", "XDG_PICTURES_DIR =\"/a\"", Kind::Malformed, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// A scratch machine: {root} is a folder of its own, {home} the home folder in
// it, {bin} the program folder.
struct PlacesCase {
    const char* name = "";
    bool writable = true;       // the program folder, as access(2) would say
    bool desktopEntry = false;  // {root}/share/applications/ID.desktop
    std::map<std::string, std::string> variables{{"HOME", "{home}"}};
    // user-dirs.dirs in $XDG_CONFIG_HOME when that is absolute, else {home}/.config
    std::optional<std::string> userDirs{};
    void (*prepare)(const fs::path& home){};
    bool installed = true;
    std::string library = "{home}/.local/share/lumigrab";  // "" for none
    std::string pictures = "{home}/Pictures/Lumigrab";
    std::vector<std::string> unavailable{};
};
void PrintTo(const PlacesCase& c, std::ostream* os) { *os << c.name; }

class Places : public ::testing::TestWithParam<PlacesCase> {
protected:
    std::string Expand(std::string text) const {
        for (const auto& [word, value] : {std::pair<std::string, std::string>{"{home}", home_.string()},
                                          {"{root}", scratch_.path().string()},
                                          {"{bin}", bin_.string()}}) {
            for (std::size_t at; (at = text.find(word)) != std::string::npos;) text.replace(at, word.size(), value);
        }
        return text;
    }

    testing::TempFolder scratch_{"lumigrab-places"};
    fs::path home_ = scratch_ / "home";
    fs::path bin_ = scratch_ / "bin";
};

TEST_P(Places, AreDecidedAndMade) {
    const PlacesCase& c = GetParam();
    fs::create_directories(home_ / ".config");
    fs::create_directories(bin_);
    if (c.desktopEntry) {
        fs::create_directories(scratch_ / "share" / "applications");
        std::ofstream(scratch_ / "share" / "applications" / (std::string(DesktopId()) + ".desktop")) << "[Desktop Entry]\n";
    }
    std::map<std::string, std::string> variables;
    for (const auto& [name, value] : c.variables) variables[name] = Expand(value);
    fs::path config = home_ / ".config";
    if (variables.contains("XDG_CONFIG_HOME") && variables["XDG_CONFIG_HOME"].starts_with('/'))
        config = variables["XDG_CONFIG_HOME"];
    if (c.userDirs) std::ofstream(config / "user-dirs.dirs") << Expand(*c.userDirs);
    if (c.prepare) c.prepare(home_);
    std::vector<fs::path> asked;
    const PlaceFacts facts{
        [&](const char* name) -> const char* {
            auto found = variables.find(name);
            return found == variables.end() ? nullptr : found->second.c_str();
        },
        [&](const fs::path& folder) {
            asked.push_back(folder);
            return c.writable;
        },
    };

    const ProgramPlaces places = PreparePlaces(bin_, facts);

    EXPECT_EQ(asked, std::vector<fs::path>{bin_}) << "only the program folder's rights decide";
    EXPECT_EQ(places.installed, c.installed);
    EXPECT_EQ(places.libraryFolder.string(), Expand(c.library));
    EXPECT_EQ(places.picturesFolder.string(), Expand(c.pictures));
    std::vector<std::string> unavailable;
    for (const auto& folder : places.unavailable) unavailable.push_back(folder.string());
    std::vector<std::string> expected;
    for (const auto& folder : c.unavailable) expected.push_back(Expand(folder));
    EXPECT_EQ(unavailable, expected);
    // Every folder it names as had is there, and nothing was made beside the program.
    EXPECT_TRUE(places.libraryFolder.empty() || fs::is_directory(places.libraryFolder));
    EXPECT_TRUE(!unavailable.empty() || fs::is_directory(places.picturesFolder));
    EXPECT_TRUE(fs::is_empty(bin_));
    EXPECT_EQ(fs::exists(home_ / "Pictures"), c.installed && c.pictures == "{home}/Pictures/Lumigrab");
}

INSTANTIATE_TEST_SUITE_P(
    Machines, Places,
    ::testing::Values(
        PlacesCase{.name = "PortableFolder", .installed = false, .library = "{bin}", .pictures = "{bin}"},
        PlacesCase{.name = "UnwritableFolder", .writable = false},
        // Root, or a user who installed under their own home, can write in
        // the bin folder; an installed layout still keeps out of it.
        PlacesCase{.name = "WritableInstalledLayout", .desktopEntry = true},
        PlacesCase{.name = "XdgVariables",
                   .writable = false,
                   .variables = {{"HOME", "{home}"}, {"XDG_DATA_HOME", "{root}/data"}, {"XDG_CONFIG_HOME", "{root}"}},
                   .userDirs = "XDG_PICTURES_DIR=\"{root}/pics\"\n",
                   .prepare = [](const fs::path& home) {
                       std::ofstream(home / ".config" / "user-dirs.dirs") << "XDG_PICTURES_DIR=\"$HOME/not-read\"\n";
                   },
                   .library = "{root}/data/lumigrab",
                   .pictures = "{root}/pics/Lumigrab"},
        PlacesCase{.name = "RelativeXdgVariablesCountAsUnset",
                   .writable = false,
                   .variables = {{"HOME", "{home}"}, {"XDG_DATA_HOME", "data"}, {"XDG_CONFIG_HOME", "conf"}},
                   .userDirs = "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n",
                   .pictures = "{home}/Bilder/Lumigrab"},
        PlacesCase{.name = "UserDirsHome",
                   .writable = false,
                   .userDirs = "XDG_PICTURES_DIR=\"$HOME\"\n",
                   .pictures = "{home}/Lumigrab"},
        PlacesCase{.name = "HomeUnset",
                   .writable = false,
                   .variables = {},
                   .library = "",
                   .pictures = "$HOME/Pictures/Lumigrab",
                   .unavailable = {"$HOME/.local/share/lumigrab", "$HOME/Pictures/Lumigrab"}},
        PlacesCase{.name = "HomeRelative",
                   .writable = false,
                   .variables = {{"HOME", "home"}},
                   .library = "",
                   .pictures = "$HOME/Pictures/Lumigrab",
                   .unavailable = {"$HOME/.local/share/lumigrab", "$HOME/Pictures/Lumigrab"}},
        // The XDG folders need no home; an entry under $HOME still does.
        PlacesCase{.name = "HomeUnsetXdgSet",
                   .writable = false,
                   .variables = {{"XDG_DATA_HOME", "{root}/data"}, {"XDG_CONFIG_HOME", "{home}/.config"}},
                   .userDirs = "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n",
                   .library = "{root}/data/lumigrab",
                   .pictures = "$HOME/Bilder/Lumigrab",
                   .unavailable = {"$HOME/Bilder/Lumigrab"}},
        PlacesCase{.name = "UserDirsMalformed",
                   .writable = false,
                   .userDirs = "XDG_PICTURES_DIR=Pictures\n",
                   .pictures = "$XDG_PICTURES_DIR/Lumigrab",
                   .unavailable = {"$XDG_PICTURES_DIR/Lumigrab"}},
        PlacesCase{.name = "UserDirsTooLong",
                   .writable = false,
                   .userDirs = std::string(kUserDirsLimit + 1, '#'),
                   .pictures = "$XDG_PICTURES_DIR/Lumigrab",
                   .unavailable = {"$XDG_PICTURES_DIR/Lumigrab"}},
        PlacesCase{.name = "UserDirsAtLimit", .writable = false, .userDirs = std::string(kUserDirsLimit, '#')},
        PlacesCase{.name = "UserDirsIsAFolder",
                   .writable = false,
                   .prepare = [](const fs::path& home) { fs::create_directory(home / ".config" / "user-dirs.dirs"); },
                   .pictures = "$XDG_PICTURES_DIR/Lumigrab",
                   .unavailable = {"$XDG_PICTURES_DIR/Lumigrab"}},
        PlacesCase{.name = "UserDirsPointsAtAFile",
                   .writable = false,
                   .userDirs = "XDG_PICTURES_DIR=\"$HOME/notes\"\n",
                   .prepare = [](const fs::path& home) { std::ofstream(home / "notes") << "x"; },
                   .pictures = "{home}/notes/Lumigrab",
                   .unavailable = {"{home}/notes/Lumigrab"}},
        PlacesCase{.name = "PicturesCannotBeMade",
                   .writable = false,
                   .prepare = [](const fs::path& home) { std::ofstream(home / "Pictures") << "x"; },
                   .unavailable = {"{home}/Pictures/Lumigrab"}},
        PlacesCase{.name = "DataFolderCannotBeMade",
                   .writable = false,
                   .prepare = [](const fs::path& home) { std::ofstream(home / ".local") << "x"; },
                   .library = "",
                   .unavailable = {"{home}/.local/share/lumigrab"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MakeFolders, NewLevelsGetTheModeAndALinkToAFolderCounts) {
    const testing::TempFolder scratch("lumigrab-places");
    const mode_t before = ::umask(022);
    EXPECT_TRUE(MakeFolders(scratch / "a" / "b", 0700));
    fs::create_directory_symlink(scratch / "a", scratch / "link");
    EXPECT_TRUE(MakeFolders(scratch / "link" / "b", 0700));
    ::umask(before);
    for (const char* level : {"a", "a/b"}) {
        struct stat info{};
        ASSERT_EQ(::stat((scratch / level).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0700u) << level;
    }
    std::ofstream(scratch / "file") << "x";
    EXPECT_FALSE(MakeFolders(scratch / "file", 0700));
    EXPECT_FALSE(MakeFolders(scratch / "file" / "below", 0700));
}

}  // namespace
}  // namespace lumigrab
