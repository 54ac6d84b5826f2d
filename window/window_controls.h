#pragma once
// The control operations of the main window, by control name, for the window
// thread only. Other threads reach them through CrossThreadPort.
//
// The reads the port no longer offers (isEnabled, timerInterval, the progress
// bar's) stay here for the window's own use and its tests.
#include <QString>
#include <optional>
#include <unordered_map>

#include "port/window_port.h"
#include "picture/picture.h"

class QObject;
class QWidget;

namespace lumigrab::ui {

class WindowControls : public WindowPort {
public:
    // Every named object under `root` (root included) becomes addressable.
    // `list` is what the result list shows; it outlives the controls.
    WindowControls(QObject* root, PictureList& list);

    Text text(std::string_view control) override;
    void setText(std::string_view control, const Text& value) override;
    void appendText(std::string_view control, const Text& value) override;
    void setFocus(std::string_view control) override;
    std::u32string charactersWithoutGbk(std::string_view control) override;
    int selectedIndex(std::string_view control) override;
    bool isChecked(std::string_view control) override;
    void setChecked(std::string_view control, bool checked) override;
    void setEnabled(std::string_view control, bool enabled) override;
    void setTimerInterval(std::string_view control, int milliseconds) override;
    void setProgressMaximum(std::string_view control, int value) override;
    void setProgressPosition(std::string_view control, int value) override;
    void setPicture(std::string_view control, const Bytes& picture) override;
    PictureList& pictureList() override { return list_; }
    void messageBox(const Text& message, const Text& caption, MessageIcon icon) override;
    void runOnWindowThread(std::function<void()> work) override;

    bool isEnabled(std::string_view control) const;
    int timerInterval(std::string_view control) const;  // 0 while stopped
    int progressMaximum(std::string_view control) const;
    int progressPosition(std::string_view control) const;

    // The second half of setPicture, so callers off the window thread can
    // decode first and hold the window thread only for the swap.
    void showPicture(std::string_view control, const std::optional<Image>& picture);

    QObject* find(std::string_view control) const;
    template <typename T>
    T* as(std::string_view control) const { return qobject_cast<T*>(find(control)); }

private:
    std::unordered_map<std::string, QObject*> byName_;
    PictureList& list_;
};

}  // namespace lumigrab::ui
