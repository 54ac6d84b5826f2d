#include "port/log.h"

#include <cstdio>

#include "port/controls.h"

namespace lumigrab {

Text FormatLogLine(const std::tm& t, std::string_view message) {
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%d-%02d-%02d %02d:%02d:%02d ", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    Text line = stamp;
    line.append(message);
    line.append("\r\n");
    return line;
}

void AppendLog(WindowPort& window, std::string_view message) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    window.appendText(ctl::kLog, FormatLogLine(local, message));
}

void ClearLog(WindowPort& window) { window.setText(ctl::kLog, Text{}); }

}  // namespace lumigrab
