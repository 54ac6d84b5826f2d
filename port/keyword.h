#pragma once
// The keyword box as the runs that use it read it.
#include "port/window_port.h"

namespace lumigrab {

// The box reads a character that system text cannot hold as "?", so a search
// for its text, or a folder named after it, would not be what the user typed.
// When the keyword box holds such characters this names them in a message
// box, puts the focus on the box and returns true: the caller then starts
// nothing. False, with nothing done, when every character has a GBK form.
bool RefuseKeywordWithoutGbk(WindowPort& window);

}  // namespace lumigrab
