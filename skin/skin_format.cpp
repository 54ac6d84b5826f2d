#include "skin/skin_format.h"

#include <algorithm>
#include <bitset>
#include <charconv>
#include <cmath>

namespace lumigrab::skin {
namespace {

constexpr std::array<std::string_view, kRoleCount> kRoleKeys = {
    "window",          "window_text",   "base",            "alternate_base",
    "text",            "button",        "button_text",     "button_hover",
    "button_pressed",  "border",        "highlight",       "highlighted_text",
    "group_frame",     "group_title",   "progress_groove", "progress_chunk",
    "disabled_text",   "header",        "header_text",
};

std::optional<int> ParseSmallInt(std::string_view text, int low, int high) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    if (value < low || value > high) return std::nullopt;
    return value;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsPrintableAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return c >= 0x20 && c < 0x7f; });
}

double Linear(std::uint8_t channel) {
    double c = channel / 255.0;
    return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double Luminance(Rgb c) {
    return 0.2126 * Linear(c.r) + 0.7152 * Linear(c.g) + 0.0722 * Linear(c.b);
}

}  // namespace

std::string_view RoleKey(Role role) { return kRoleKeys[static_cast<std::size_t>(role)]; }

std::string ColorName(Rgb c) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "#";
    for (std::uint8_t v : {c.r, c.g, c.b}) {
        out.push_back(kHex[v >> 4]);
        out.push_back(kHex[v & 15]);
    }
    return out;
}

std::optional<Rgb> ParseColor(std::string_view text) {
    if (text.size() != 7 || text[0] != '#') return std::nullopt;
    std::uint8_t channels[3];
    for (int i = 0; i < 3; ++i) {
        int hi = HexDigit(text[1 + 2 * i]);
        int lo = HexDigit(text[2 + 2 * i]);
        if (hi < 0 || lo < 0) return std::nullopt;
        channels[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    return Rgb{channels[0], channels[1], channels[2]};
}

double ContrastRatio(Rgb a, Rgb b) {
    double la = Luminance(a), lb = Luminance(b);
    if (la < lb) std::swap(la, lb);
    return (la + 0.05) / (lb + 0.05);
}

Rgb Mix(Rgb a, Rgb b, double t) {
    t = std::clamp(t, 0.0, 1.0);
    auto blend = [t](std::uint8_t x, std::uint8_t y) {
        return static_cast<std::uint8_t>(std::lround(x + (y - x) * t));
    };
    return {blend(a.r, b.r), blend(a.g, b.g), blend(a.b, b.b)};
}

std::string SerialiseSkin(const Skin& skin) {
    std::string out(kMagic);
    out.push_back(static_cast<char>(kFormatVersion));
    out.push_back('\n');
    out += "name=" + skin.name + "\n";
    out += std::string("dark=") + (skin.dark ? "1" : "0") + "\n";
    for (std::size_t i = 0; i < kRoleCount; ++i) {
        out += std::string(kRoleKeys[i]) + "=" + ColorName(skin.colors[i]) + "\n";
    }
    out += "radius=" + std::to_string(skin.radius) + "\n";
    out += "frame_width=" + std::to_string(skin.frameWidth) + "\n";
    return out;
}

std::optional<Skin> ParseSkin(std::span<const std::uint8_t> bytes) {
    if (bytes.size() > kMaxSkinBytes || bytes.size() < kMagic.size() + 2) return std::nullopt;
    std::string_view all(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (all.substr(0, kMagic.size()) != kMagic) return std::nullopt;
    if (static_cast<std::uint8_t>(all[kMagic.size()]) != kFormatVersion) return std::nullopt;
    if (all[kMagic.size() + 1] != '\n') return std::nullopt;
    std::string_view body = all.substr(kMagic.size() + 2);

    Skin skin;
    std::bitset<kRoleCount> seenRoles;
    bool seenName = false, seenDark = false, seenRadius = false, seenFrame = false;
    auto once = [](bool& seen) {
        if (seen) return false;
        seen = true;
        return true;
    };

    while (!body.empty()) {
        std::size_t eol = body.find('\n');
        // Every line, the last included, ends with a line feed: a skin cut
        // short in transit must not pass for a whole one.
        if (eol == std::string_view::npos) return std::nullopt;
        std::string_view line = body.substr(0, eol);
        body.remove_prefix(eol + 1);
        if (line.size() > kMaxLineBytes || !IsPrintableAscii(line)) return std::nullopt;
        std::size_t eq = line.find('=');
        if (eq == std::string_view::npos || eq == 0) return std::nullopt;
        std::string_view key = line.substr(0, eq);
        std::string_view value = line.substr(eq + 1);

        if (key == "name") {
            if (!once(seenName) || value.size() > kMaxNameBytes) return std::nullopt;
            skin.name = std::string(value);
        } else if (key == "dark") {
            auto v = ParseSmallInt(value, 0, 1);
            if (!v || !once(seenDark)) return std::nullopt;
            skin.dark = *v == 1;
        } else if (key == "radius") {
            auto v = ParseSmallInt(value, 0, 12);
            if (!v || !once(seenRadius)) return std::nullopt;
            skin.radius = *v;
        } else if (key == "frame_width") {
            auto v = ParseSmallInt(value, 1, 3);
            if (!v || !once(seenFrame)) return std::nullopt;
            skin.frameWidth = *v;
        } else if (auto it = std::find(kRoleKeys.begin(), kRoleKeys.end(), key);
                   it != kRoleKeys.end()) {
            auto index = static_cast<std::size_t>(it - kRoleKeys.begin());
            auto color = ParseColor(value);
            if (!color || seenRoles.test(index)) return std::nullopt;
            seenRoles.set(index);
            skin.colors[index] = *color;
        }
        // Any other key belongs to a later version of the format: skipped.
    }
    if (!seenRoles.all()) return std::nullopt;
    return skin;
}

}  // namespace lumigrab::skin
