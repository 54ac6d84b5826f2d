#pragma once
// The style sheet text that paints the program's widgets in a skin's colours.
// Kept free of Qt so it can be read and checked without a display.
#include <string>

#include "skin/skin_format.h"

namespace lumigrab::skin {

// Text colour and background the work log keeps under every skin: it is read
// as a console, and users look for its green-on-black.
inline constexpr Rgb kLogText{0, 255, 0};
inline constexpr Rgb kLogBackground{0, 0, 0};

// UTF-8 style sheet for QApplication::setStyleSheet.
std::string BuildStyleSheet(const Skin& skin);

}  // namespace lumigrab::skin
