// The carried skins and the skin library, applied to a real QApplication.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <filesystem>
#include <set>
#include <thread>

#include "port/controls.h"
#include "platform/skin_installer.h"
#include "resources/carried.h"
#include "skin/skin_engine.h"
#include "skin/skin_format.h"
#include "skin/skin_style.h"
#include "skin/skin_table.h"
#include "support/fake_window.h"
#include "support/files.h"

namespace lumigrab {
namespace {

namespace fs = std::filesystem;
using namespace skin;

using testing::ReadFile;

std::span<const std::uint8_t> AsSpan(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

QColor ToQt(Rgb c) { return QColor(c.r, c.g, c.b); }

// --- what the executable carries -------------------------------------------

TEST(CarriedSkins, EveryNumberHoldsTheTableSkinOfThatNumber) {
    auto table = BuiltInSkins();
    ASSERT_EQ(static_cast<int>(table.size()), kSkinFileCount);
    for (int n = 1; n <= kSkinFileCount; ++n) {
        SCOPED_TRACE("skin " + std::to_string(n));
        auto bytes = SkinFile(n);
        ASSERT_GE(bytes.size(), 4u);
        EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(bytes.data()), 4), ".SKN");
        auto parsed = ParseSkin(bytes);
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(*parsed, table[static_cast<std::size_t>(n - 1)]);
    }
}

TEST(CarriedSkins, NumbersOutsideTheTableAreEmpty) {
    for (int n : {-1, 0, kSkinFileCount + 1, 1000}) EXPECT_TRUE(SkinFile(n).empty()) << n;
}

TEST(CarriedLibrary, IsTheLibraryThisBuildMade) {
    auto image = SkinLibraryImage();
    auto built = ReadFile(LUMIGRAB_SKIN_ENGINE_FILE);
    ASSERT_FALSE(built.empty());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), built.begin(), built.end()));
}

// --- the skin table: skins a person can read --------------------------------

struct Pairing {
    Role foreground, background;
    double minimum;
};

TEST(SkinTable, EveryForegroundReadsOnItsBackground) {
    // 4.5 is the usual floor for body text; captions and selections, drawn
    // larger or bolder, may go down to 3.
    const Pairing pairings[] = {
        {Role::Text, Role::Base, 4.5},           {Role::Text, Role::AlternateBase, 4.5},
        {Role::WindowText, Role::Window, 4.5},   {Role::ButtonText, Role::Button, 4.5},
        {Role::ButtonText, Role::ButtonHover, 4.5}, {Role::ButtonText, Role::ButtonPressed, 3.0},
        {Role::HighlightedText, Role::Highlight, 3.0}, {Role::GroupTitle, Role::Window, 3.0},
        {Role::HeaderText, Role::Header, 4.5},   {Role::Text, Role::ProgressGroove, 4.5},
    };
    for (const Skin& s : BuiltInSkins()) {
        for (const Pairing& p : pairings) {
            EXPECT_GE(ContrastRatio(s[p.foreground], s[p.background]), p.minimum)
                << s.name << ": " << RoleKey(p.foreground) << " on " << RoleKey(p.background);
        }
        // Disabled text must look different from enabled text, yet stay visible.
        EXPECT_GE(ContrastRatio(s[Role::Text], s[Role::DisabledText]), 1.8) << s.name;
        EXPECT_GE(ContrastRatio(s[Role::DisabledText], s[Role::Window]), 1.8) << s.name;
        // A progress bar whose chunk vanishes into its groove shows no progress.
        EXPECT_GE(ContrastRatio(s[Role::ProgressChunk], s[Role::ProgressGroove]), 1.8) << s.name;
    }
}

TEST(SkinTable, DarkFlagMatchesTheWindowAndNamesAreDistinct) {
    auto skins = BuiltInSkins();
    std::set<std::string> names;
    int dark = 0;
    for (const Skin& s : skins) {
        bool looksDark = ContrastRatio(s[Role::Window], Rgb{0, 0, 0}) <
                         ContrastRatio(s[Role::Window], Rgb{255, 255, 255});
        EXPECT_EQ(s.dark, looksDark) << s.name;
        EXPECT_TRUE(names.insert(s.name).second) << "twice: " << s.name;
        dark += s.dark ? 1 : 0;
    }
    EXPECT_GE(dark, 8);
    EXPECT_GE(static_cast<int>(skins.size()) - dark, 8);
    EXPECT_TRUE(skins[kStartSkinNumber - 1].dark) << "the start skin sits beside a black log";
}

// --- the file format ---------------------------------------------------------

std::string Serialised() { return SerialiseSkin(BuiltInSkins()[0]); }

std::string Replace(std::string s, const std::string& from, const std::string& to) {
    auto at = s.find(from);
    if (at != std::string::npos) s.replace(at, from.size(), to);
    return s;
}

struct Damage {
    const char* name;
    std::string (*apply)();
};

void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

class SkinFormatRejects : public ::testing::TestWithParam<Damage> {};

TEST_P(SkinFormatRejects, Damaged) {
    std::string bytes = GetParam().apply();
    EXPECT_FALSE(ParseSkin(AsSpan(bytes)).has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Skins, SkinFormatRejects,
    ::testing::Values(
        Damage{"Empty", [] { return std::string(); }},
        Damage{"MarkOnly", [] { return std::string(".SKN"); }},
        Damage{"WrongMark", [] { return Replace(Serialised(), ".SKN", ".SKM"); }},
        Damage{"LaterVersion", [] { return Replace(Serialised(), std::string(".SKN\x01"), std::string(".SKN\x02")); }},
        Damage{"CutShort", [] { std::string s = Serialised(); return s.substr(0, s.size() - 3); }},
        Damage{"LastLineUnterminated", [] { std::string s = Serialised(); s.pop_back(); return s; }},
        Damage{"RoleMissing", [] { return Replace(Serialised(), "highlight=", "highlite="); }},
        Damage{"RoleTwice", [] { return Serialised() + "base=#000000\n"; }},
        Damage{"ShortColour", [] { return Replace(Serialised(), "\nbase=#", "\nbase=#fff\nx=#"); }},
        Damage{"NotHex", [] { return Replace(Serialised(), "\nbase=#", "\nbase=#zz"); }},
        Damage{"RadiusTooBig", [] { return Replace(Serialised(), "radius=4", "radius=99"); }},
        Damage{"FrameZero", [] { return Replace(Serialised(), "frame_width=1", "frame_width=0"); }},
        Damage{"DarkNotABit", [] { return Replace(Serialised(), "dark=0", "dark=yes"); }},
        Damage{"LineWithoutEquals", [] { return Serialised() + "nonsense\n"; }},
        Damage{"NonAscii", [] { return Serialised() + "note=\xd5\xe2\n"; }},
        Damage{"ZeroByte", [] { return Serialised() + std::string("note=a\0b\n", 9); }},
        Damage{"LongLine", [] { return Serialised() + "note=" + std::string(300, 'a') + "\n"; }},
        Damage{"Oversized", [] {
                   std::string s = Serialised();
                   while (s.size() <= kMaxSkinBytes) s += "note=" + std::string(200, 'a') + "\n";
                   return s;
               }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SkinFormat, UnknownKeysOfLaterVersionsAreSkipped) {
    std::string s = Serialised() + "shadow=#123456\nblur=3\n";
    auto parsed = ParseSkin(AsSpan(s));
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed, BuiltInSkins()[0]);
}

TEST(SkinStyle, EveryPlaceholderIsFilledAndTheLogKeepsItsColours) {
    for (const Skin& s : BuiltInSkins()) {
        std::string sheet = BuildStyleSheet(s);
        for (std::size_t i = 0; i < kRoleCount; ++i) {
            std::string placeholder = "{" + std::string(RoleKey(static_cast<Role>(i))) + "}";
            EXPECT_EQ(sheet.find(placeholder), std::string::npos) << s.name << " " << placeholder;
        }
        for (const char* other : {"{radius}", "{frame}", "{log}", "{log_text}", "{button_top}"}) {
            EXPECT_EQ(sheet.find(other), std::string::npos) << s.name << " " << other;
        }
        EXPECT_NE(sheet.find("#" + std::string(ctl::kLog)), std::string::npos);
    }
}

// --- the library applied to the application ---------------------------------

class SkinApplied : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch_ = new testing::TempFolder("lumigrab-skins");
        folder_ = new fs::path(scratch_->path());
    }
    static void TearDownTestSuite() {
        delete scratch_;
        delete folder_;
    }
    void TearDown() override {
        qApp->setStyleSheet(QString());
        QApplication::setPalette(QPalette());
    }
    static testing::TempFolder* scratch_;
    static fs::path* folder_;
};
testing::TempFolder* SkinApplied::scratch_ = nullptr;
fs::path* SkinApplied::folder_ = nullptr;

TEST_F(SkinApplied, EveryCarriedSkinPaintsTheWidgetsAndLeavesTheLogGreenOnBlack) {
    for (int n = 1; n <= kSkinFileCount; ++n) {
        SCOPED_TRACE("skin " + std::to_string(n));
        testing::FakeWindow window;
        ASSERT_FALSE(InstallSkin(*folder_, SkinLibraryImage(), SkinFile(n), window).has_value());
        EXPECT_TRUE(window.messages().empty());
        Skin s = *ParseSkin(SkinFile(n));

        EXPECT_EQ(QApplication::palette().color(QPalette::Window), ToQt(s[Role::Window]));
        EXPECT_EQ(QApplication::palette().color(QPalette::Highlight), ToQt(s[Role::Highlight]));
        EXPECT_FALSE(qApp->styleSheet().isEmpty());

        QLineEdit edit;
        edit.ensurePolished();
        EXPECT_EQ(edit.palette().color(QPalette::Base), ToQt(s[Role::Base]));
        EXPECT_EQ(edit.palette().color(QPalette::Text), ToQt(s[Role::Text]));

        QPlainTextEdit log;
        log.setObjectName(QString::fromUtf8(ctl::kLog.data(), static_cast<int>(ctl::kLog.size())));
        log.ensurePolished();
        EXPECT_EQ(log.palette().color(QPalette::Text), ToQt(kLogText));
        EXPECT_EQ(log.palette().color(QPalette::Base), ToQt(kLogBackground));
    }
    EXPECT_EQ(ReadFile(*folder_ / "libSkinEngine.so").size(), SkinLibraryImage().size());
}

TEST_F(SkinApplied, BytesThatAreNoSkinChangeNothing) {
    const std::string good = Serialised();
    ASSERT_EQ(SkinAttachRes(reinterpret_cast<const unsigned char*>(good.data()),
                            static_cast<int>(good.size()), "", 0, 0, 0),
              1);
    QString sheet = qApp->styleSheet();
    QColor window = QApplication::palette().color(QPalette::Window);

    const std::string bad = ".SKN\x01\nname=x\n";
    EXPECT_EQ(SkinAttachRes(reinterpret_cast<const unsigned char*>(bad.data()),
                            static_cast<int>(bad.size()), "", 0, 0, 0),
              0);
    EXPECT_EQ(SkinAttachRes(nullptr, 10, "", 0, 0, 0), 0);
    EXPECT_EQ(SkinAttachRes(reinterpret_cast<const unsigned char*>(good.data()), -5, nullptr, 0, 0, 0), 0);
    EXPECT_EQ(qApp->styleSheet(), sheet);
    EXPECT_EQ(QApplication::palette().color(QPalette::Window), window);
}

TEST_F(SkinApplied, CallFromAnotherThreadIsRefused) {
    const std::string good = Serialised();
    int result = -1;
    std::thread other([&] {
        result = SkinAttachRes(reinterpret_cast<const unsigned char*>(good.data()),
                               static_cast<int>(good.size()), "", 0, 0, 0);
    });
    other.join();
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(qApp->styleSheet().isEmpty());
}

}  // namespace
}  // namespace lumigrab

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
