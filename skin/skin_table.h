#pragma once
// The skins the program carries, numbered 1 to 33 in this order. Each is
// written out as a skin file at build time (make_skins) and embedded.
#include <vector>

#include "skin/skin_format.h"

namespace lumigrab::skin {

inline constexpr int kBuiltInSkinCount = 33;
// The one the program applies at start.
inline constexpr int kStartSkinNumber = 10;

// Index i holds skin number i + 1.
std::vector<Skin> BuiltInSkins();

// A whole skin from its five defining colours; every other role is blended
// from them so that the parts of one skin always agree with each other.
Skin DeriveSkin(const char* name, bool dark, Rgb window, Rgb base, Rgb text, Rgb accent,
                int radius = 4, int frameWidth = 1);

}  // namespace lumigrab::skin
