#pragma once
// The skin file: what one look of the program is made of, and its bytes.
//
// Layout (version 1):
//   ".SKN"                      four bytes, the mark every skin starts with
//   one byte                    format version, 1
//   "\n"
//   lines "key=value\n"         ASCII; colours as #rrggbb, metrics as decimal
//
// Plain text after the header keeps skins easy to diff and to hand-edit, and a
// reader that meets a key it does not know skips it, so later versions can add
// roles without breaking older libraries. Every colour role must be present:
// a skin that leaves one out would paint that part with whatever the platform
// had, which is exactly the mismatch a skin exists to avoid.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace lumigrab::skin {

inline constexpr std::string_view kMagic = ".SKN";
inline constexpr std::uint8_t kFormatVersion = 1;
// Far above any real skin (about 1 KiB); bounds what a reader will look at.
inline constexpr std::size_t kMaxSkinBytes = 64 * 1024;
inline constexpr std::size_t kMaxLineBytes = 256;
inline constexpr std::size_t kMaxNameBytes = 64;

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

enum class Role : std::size_t {
    Window,           // window and group box background
    WindowText,       // labels, check box and radio box texts
    Base,             // edit boxes, list, combo box field
    AlternateBase,    // every other list row
    Text,             // text typed into edit boxes and list cells
    Button,
    ButtonText,
    ButtonHover,
    ButtonPressed,
    Border,           // frames of edit boxes, buttons, the list
    Highlight,        // selection background
    HighlightedText,
    GroupFrame,
    GroupTitle,
    ProgressGroove,
    ProgressChunk,
    DisabledText,
    Header,           // list header sections
    HeaderText,
    Count
};
inline constexpr std::size_t kRoleCount = static_cast<std::size_t>(Role::Count);

// Key of each role in the file, in Role order.
std::string_view RoleKey(Role role);

struct Skin {
    std::string name;       // ASCII, shown nowhere but useful when choosing
    bool dark = false;
    std::array<Rgb, kRoleCount> colors{};
    int radius = 3;         // corner radius of buttons, edits, frames: 0..12
    int frameWidth = 1;     // border width in pixels: 1..3

    Rgb& operator[](Role role) { return colors[static_cast<std::size_t>(role)]; }
    const Rgb& operator[](Role role) const { return colors[static_cast<std::size_t>(role)]; }
    friend bool operator==(const Skin&, const Skin&) = default;
};

std::string SerialiseSkin(const Skin& skin);

// nullopt for anything that is not a complete version-1 skin: wrong mark or
// version, too long, a malformed line, a colour that is not #rrggbb, a metric
// out of range, a role missing or given twice.
std::optional<Skin> ParseSkin(std::span<const std::uint8_t> bytes);

std::string ColorName(Rgb c);  // "#rrggbb", lower case
std::optional<Rgb> ParseColor(std::string_view text);

// WCAG relative-luminance contrast ratio, 1 (none) to 21 (black on white).
double ContrastRatio(Rgb a, Rgb b);
// The straight-line blend: t = 0 gives a, t = 1 gives b.
Rgb Mix(Rgb a, Rgb b, double t);

}  // namespace lumigrab::skin
