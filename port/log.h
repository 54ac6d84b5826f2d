#pragma once
// The work log: time-stamped lines at the end of the log box.
#include <ctime>

#include "port/window_port.h"

namespace lumigrab {

// "YYYY-MM-DD hh:mm:ss " + message + "\r\n" for the given local time.
Text FormatLogLine(const std::tm& localTime, std::string_view message);
void AppendLog(WindowPort& window, std::string_view message);
void ClearLog(WindowPort& window);

}  // namespace lumigrab
