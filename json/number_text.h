#pragma once
// The decimal text of a number, written the way JavaScript writes it
// (Number.prototype.toString with radix 10): 640 not "640.0", 0.5, 1e+21,
// 1.5e-7, NaN, Infinity, -0 as "0".
#include <string_view>

#include "text/text.h"

namespace lumigrab {

Text NumberText(double value);

// Whether `text` is a number as JSON writes it, all of it:
// -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool IsJsonNumber(std::string_view text);

}  // namespace lumigrab
