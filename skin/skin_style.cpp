#include "skin/skin_style.h"

#include <string_view>

#include "port/controls.h"

namespace lumigrab::skin {
namespace {

// Replaces every "{key}" of the template with its value; keys are few and the
// template is ours, so a plain scan is enough.
std::string Fill(std::string_view tmpl, const Skin& s) {
    auto value = [&s](std::string_view key) -> std::string {
        for (std::size_t i = 0; i < kRoleCount; ++i) {
            if (RoleKey(static_cast<Role>(i)) == key) return ColorName(s.colors[i]);
        }
        if (key == "radius") return std::to_string(s.radius) + "px";
        if (key == "frame") return std::to_string(s.frameWidth) + "px";
        if (key == "log_text") return ColorName(kLogText);
        if (key == "log_background") return ColorName(kLogBackground);
        if (key == "log") return std::string(ctl::kLog);
        if (key == "button_top") {
            return ColorName(Mix(s[Role::Button], Rgb{255, 255, 255}, s.dark ? 0.06 : 0.35));
        }
        return {};
    };
    std::string out;
    out.reserve(tmpl.size() * 2);
    std::size_t pos = 0;
    while (pos < tmpl.size()) {
        std::size_t open = tmpl.find('{', pos);
        std::size_t close = open == std::string_view::npos ? open : tmpl.find('}', open);
        // A brace that does not enclose a known key is style sheet syntax.
        if (close == std::string_view::npos) {
            out.append(tmpl.substr(pos));
            break;
        }
        std::string replacement = value(tmpl.substr(open + 1, close - open - 1));
        if (replacement.empty()) {
            out.append(tmpl.substr(pos, open + 1 - pos));
            pos = open + 1;
            continue;
        }
        out.append(tmpl.substr(pos, open - pos));
        out.append(replacement);
        pos = close + 1;
    }
    return out;
}

constexpr std::string_view kTemplate = R"css(
QMainWindow, QDialog, QMessageBox { background-color: {window}; }
QLabel, QCheckBox, QRadioButton { color: {window_text}; background: transparent; }
QLabel:disabled, QCheckBox:disabled, QRadioButton:disabled { color: {disabled_text}; }
QCheckBox::indicator, QRadioButton::indicator {
  width: 12px;
  height: 12px;
  border: 1px solid {border};
  background-color: {base};
}
QCheckBox::indicator { border-radius: 2px; }
QRadioButton::indicator { border-radius: 7px; }
QCheckBox::indicator:hover, QRadioButton::indicator:hover { border-color: {highlight}; }
QCheckBox::indicator:checked { background-color: {highlight}; border-color: {highlight}; }
QRadioButton::indicator:checked {
  border-color: {highlight};
  background-color: qradialgradient(cx:0.5, cy:0.5, radius:0.5, fx:0.5, fy:0.5,
    stop:0 {highlight}, stop:0.55 {highlight}, stop:0.65 {base}, stop:1 {base});
}
QCheckBox::indicator:disabled, QRadioButton::indicator:disabled { border-color: {disabled_text}; }
QGroupBox {
  color: {group_title};
  border: {frame} solid {group_frame};
  border-radius: {radius};
  margin-top: 7px;
  padding-top: 2px;
}
QGroupBox::title {
  subcontrol-origin: margin;
  subcontrol-position: top left;
  left: 8px;
  padding: 0 4px;
  color: {group_title};
  background-color: {window};
}
QPushButton {
  color: {button_text};
  background-color: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 {button_top}, stop:1 {button});
  border: {frame} solid {border};
  border-radius: {radius};
  padding: 3px 10px;
  min-height: 16px;
}
QPushButton:hover { background-color: {button_hover}; border-color: {highlight}; }
QPushButton:pressed { background-color: {button_pressed}; }
QPushButton:focus { border-color: {highlight}; }
QPushButton:disabled { color: {disabled_text}; background-color: {button}; border-color: {border}; }
QLineEdit, QSpinBox, QComboBox, QPlainTextEdit, QTextEdit {
  color: {text};
  background-color: {base};
  border: {frame} solid {border};
  border-radius: {radius};
  selection-color: {highlighted_text};
  selection-background-color: {highlight};
}
QLineEdit, QSpinBox, QComboBox { padding: 1px 3px; }
QLineEdit:focus, QSpinBox:focus, QComboBox:focus, QPlainTextEdit:focus, QTextEdit:focus {
  border-color: {highlight};
}
QLineEdit:disabled, QSpinBox:disabled, QComboBox:disabled { color: {disabled_text}; }
QComboBox QAbstractItemView {
  color: {text};
  background-color: {base};
  border: {frame} solid {border};
  selection-color: {highlighted_text};
  selection-background-color: {highlight};
}
QTreeView, QTableView, QListView {
  color: {text};
  background-color: {base};
  alternate-background-color: {alternate_base};
  border: {frame} solid {border};
  selection-color: {highlighted_text};
  selection-background-color: {highlight};
}
QTreeView::item:selected, QTableView::item:selected, QListView::item:selected {
  color: {highlighted_text};
  background-color: {highlight};
}
QHeaderView::section {
  color: {header_text};
  background-color: {header};
  border: none;
  border-right: 1px solid {border};
  border-bottom: 1px solid {border};
  padding: 2px 5px;
}
QProgressBar {
  color: {text};
  background-color: {progress_groove};
  border: {frame} solid {border};
  border-radius: {radius};
  text-align: center;
}
QProgressBar::chunk { background-color: {progress_chunk}; border-radius: {radius}; }
QToolTip { color: {text}; background-color: {base}; border: 1px solid {border}; }
#{log} {
  color: {log_text};
  background-color: {log_background};
  selection-color: {log_background};
  selection-background-color: {log_text};
}
)css";

}  // namespace

std::string BuildStyleSheet(const Skin& skin) { return Fill(kTemplate, skin); }

}  // namespace lumigrab::skin
