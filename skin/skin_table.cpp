#include "skin/skin_table.h"

#include <cstdint>

namespace lumigrab::skin {
namespace {

constexpr Rgb Hex(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v)};
}

constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kBlack{0, 0, 0};

struct Seed {
    const char* name;
    bool dark;
    std::uint32_t window, base, text, accent;
    int radius;
    int frameWidth;
};

// Light and dark themes alternate in runs so neighbouring numbers look
// different when someone steps through them. Number 10 is the start skin: a
// dark teal that sits well with the green-on-black work log.
constexpr Seed kSeeds[kBuiltInSkinCount] = {
    {"Porcelain", false, 0xf3f4f6, 0xffffff, 0x1f2328, 0x2f6fdb, 4, 1},
    {"Sky", false, 0xe8f1fb, 0xffffff, 0x102a43, 0x1e78d2, 4, 1},
    {"Meadow", false, 0xedf5ea, 0xffffff, 0x1b2e1b, 0x3f8f3a, 4, 1},
    {"Sand", false, 0xf4eedf, 0xfffdf7, 0x3b2f1e, 0xb8740c, 3, 1},
    {"Rose Quartz", false, 0xf8ecef, 0xfffafb, 0x3a1f28, 0xc2185b, 6, 1},
    {"Lavender", false, 0xefebf7, 0xfdfcff, 0x2a2140, 0x6a4fc9, 6, 1},
    {"Mint", false, 0xe6f6f1, 0xffffff, 0x123a30, 0x00897b, 4, 1},
    {"Slate", false, 0xe3e7ec, 0xf9fafb, 0x1e2a36, 0x4a6a8a, 2, 1},
    {"Paper", false, 0xfaf8f3, 0xffffff, 0x2b2b2b, 0x7a5c3e, 0, 1},
    {"Midnight Teal", true, 0x1b2228, 0x11171c, 0xe3eef2, 0x26a69a, 4, 1},
    {"Graphite", true, 0x2b2d31, 0x1e1f22, 0xe6e6e6, 0x5b8def, 4, 1},
    {"Deep Ocean", true, 0x14213d, 0x0d1628, 0xe5ecf6, 0x3a86ff, 4, 1},
    {"Forest Night", true, 0x1d2a22, 0x131c17, 0xdfeee3, 0x4caf50, 4, 1},
    {"Aubergine", true, 0x2a1f33, 0x1d1524, 0xefe6f5, 0xab47bc, 6, 1},
    {"Ember", true, 0x2b1d18, 0x1e1411, 0xf3e6df, 0xff7043, 3, 1},
    {"Obsidian", true, 0x121212, 0x0a0a0a, 0xeaeaea, 0xbb86fc, 6, 1},
    {"Nord", true, 0x2e3440, 0x3b4252, 0xeceff4, 0x88c0d0, 3, 1},
    {"Solar Dark", true, 0x002b36, 0x073642, 0xeee8d5, 0xb58900, 2, 1},
    {"Crimson Night", true, 0x241417, 0x180d0f, 0xf2e4e6, 0xe53950, 4, 1},
    {"Steel", true, 0x263238, 0x1c262b, 0xeceff1, 0x78909c, 2, 1},
    {"Amber Terminal", true, 0x1a1500, 0x0f0c00, 0xffe6a0, 0xffb300, 0, 1},
    {"Solar Light", false, 0xfdf6e3, 0xfffbf0, 0x073642, 0x268bd2, 2, 1},
    {"Cherry Blossom", false, 0xfbeef3, 0xffffff, 0x3b1e2b, 0xd04a7c, 8, 1},
    {"Autumn", false, 0xf5e9dc, 0xfffaf4, 0x3d2512, 0xc44e00, 4, 1},
    {"Glacier", false, 0xeef6fa, 0xffffff, 0x0f2b3a, 0x0288d1, 5, 1},
    {"Olive", false, 0xeef0e2, 0xfbfcf5, 0x2c3018, 0x6f7d22, 3, 1},
    {"Classic Gray", false, 0xd4d0c8, 0xffffff, 0x000000, 0x0a246a, 0, 1},
    {"Sunflower", false, 0xfbf6dc, 0xfffef5, 0x332b00, 0xd49a00, 6, 1},
    {"Coral", false, 0xfbefe9, 0xffffff, 0x3a1d14, 0xe85a3a, 5, 1},
    {"Twilight", true, 0x232136, 0x191724, 0xe0def4, 0xc4a7e7, 6, 1},
    {"Cyber Mint", true, 0x0f1a1a, 0x0a1212, 0xd8fff4, 0x1de9b6, 0, 1},
    {"Mocha", true, 0x2d2420, 0x221b18, 0xefe3d8, 0xc8a27c, 4, 1},
    {"High Contrast", true, 0x000000, 0x000000, 0xffffff, 0xffff00, 0, 2},
};

}  // namespace

Skin DeriveSkin(const char* name, bool dark, Rgb window, Rgb base, Rgb text, Rgb accent,
                int radius, int frameWidth) {
    Skin s;
    s.name = name;
    s.dark = dark;
    s.radius = radius;
    s.frameWidth = frameWidth;
    s[Role::Window] = window;
    s[Role::WindowText] = text;
    s[Role::Base] = base;
    s[Role::AlternateBase] = Mix(base, accent, dark ? 0.07 : 0.05);
    s[Role::Text] = text;
    // Buttons stand a little off the window: lighter on light themes, a
    // touch lighter still on dark ones so they do not sink into the frame.
    Rgb button = Mix(window, kWhite, dark ? 0.10 : 0.50);
    s[Role::Button] = button;
    s[Role::ButtonText] = text;
    s[Role::ButtonHover] = Mix(button, accent, 0.20);
    s[Role::ButtonPressed] = Mix(button, accent, 0.38);
    s[Role::Border] = Mix(window, text, dark ? 0.32 : 0.30);
    s[Role::Highlight] = accent;
    s[Role::HighlightedText] =
        ContrastRatio(accent, kWhite) >= ContrastRatio(accent, kBlack) ? kWhite : kBlack;
    s[Role::GroupFrame] = Mix(window, accent, 0.55);
    // The group caption must read on the window, which an accent alone
    // (a pale yellow, a light teal) may not; pull it toward the text colour.
    s[Role::GroupTitle] = Mix(accent, text, 0.35);
    s[Role::ProgressGroove] = Mix(window, text, dark ? 0.12 : 0.08);
    s[Role::ProgressChunk] = accent;
    s[Role::DisabledText] = Mix(text, window, 0.55);
    s[Role::Header] = Mix(window, accent, 0.14);
    s[Role::HeaderText] = text;
    return s;
}

std::vector<Skin> BuiltInSkins() {
    std::vector<Skin> skins;
    skins.reserve(kBuiltInSkinCount);
    for (const Seed& seed : kSeeds) {
        skins.push_back(DeriveSkin(seed.name, seed.dark, Hex(seed.window), Hex(seed.base),
                                   Hex(seed.text), Hex(seed.accent), seed.radius,
                                   seed.frameWidth));
    }
    return skins;
}

}  // namespace lumigrab::skin
