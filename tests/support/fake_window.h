#pragma once
// An in-memory window for core tests: every control of the main window with
// the same defaults, thread-safe, recording message boxes and focus changes.
// One recursive lock stands in for the window thread, so runOnWindowThread
// makes its work one step as the real window does.
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "port/window_port.h"

namespace lumigrab::testing {

struct ShownMessage {
    Text message;
    Text caption;
    MessageIcon icon;
};

class FakeWindow : public WindowPort {
public:
    FakeWindow();

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

    // Test-side helpers (all thread-safe).
    bool isEnabled(std::string_view control);
    int timerInterval(std::string_view control);
    int progressMaximum(std::string_view control);
    int progressPosition(std::string_view control);
    // The result list, by position (the list control's name is ignored: the
    // window has one list). insertRow appends, whatever the position.
    int rowCount(std::string_view list);
    void insertRow(std::string_view list, int row, const Text& caption);
    void setCell(std::string_view list, int row, int column, const Text& value);
    Text cell(std::string_view list, int row, int column);
    void clearRows(std::string_view list);
    void selectEntry(std::string_view combo, int index);  // text becomes index + 1
    // Text as a user types it: the box reads back as system text, "?" for each
    // character without a GBK form, and reports those characters.
    void typeText(std::string_view control, std::string_view utf8);
    std::vector<ShownMessage> messages();
    std::string focused();
    Bytes picture(std::string_view control);
    int pictureChanges(std::string_view control);
    // Every picture written to the box, in the order it was written.
    std::vector<Bytes> picturesShown(std::string_view control);
    std::vector<std::vector<Text>> rows(std::string_view control);
    // The log's lines without their time stamps (text after the first 20 bytes).
    std::vector<Text> logMessages();
    // Waits until `pred` holds (checked under the lock) or the time is up.
    bool waitFor(const std::function<bool(FakeWindow&)>& pred, int timeoutMs = 20000);

private:
    struct Control {
        Text text;
        std::u32string withoutGbk;  // of the text last typed; none after setText
        int selected = -1;
        bool checked = false;
        bool enabled = true;
        int interval = 0;
        int maximum = 100;
        int position = 0;
        Bytes picture;
        std::vector<Bytes> pictures;
    };
    Control& at(std::string_view control);

    std::recursive_mutex mutex_;
    PictureList list_;
    std::map<std::string, Control, std::less<>> controls_;
    std::vector<ShownMessage> messages_;
    std::string focused_;
};

}  // namespace lumigrab::testing
