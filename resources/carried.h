#pragma once
// Data the program carries inside its executable.
#include <cstdint>
#include <span>

namespace lumigrab {

inline constexpr int kSkinFileCount = 33;

// The complete file libSkinEngine.so as built with this program.
std::span<const std::uint8_t> SkinLibraryImage();

// Skin file `number`, 1 to kSkinFileCount; empty for any other number.
std::span<const std::uint8_t> SkinFile(int number);

}  // namespace lumigrab
