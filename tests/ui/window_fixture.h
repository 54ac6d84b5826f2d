#pragma once
// One main window per test, shown offscreen, with handlers that record what
// ran and the core's picture list it shows. Tests reach controls by name, as
// the core does.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTableView>
#include <QTest>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "port/controls.h"
#include "port/event_handlers.h"
#include "port/picture_list.h"
#include "window/main_window.h"
#include "window/picture_list_model.h"
#include "window/window_controls.h"

namespace lumigrab::ui::testing {

class RecordingHandlers : public EventHandlers {
public:
    std::vector<std::string> ran;
    std::function<void()> onCreated;
    std::function<void()> onRelease;

    void windowCreated() override { record("windowCreated", onCreated); }
    void firstActivation() override { ran.push_back("firstActivation"); }
    void harvestClicked() override { ran.push_back("harvestClicked"); }
    void downloadClicked() override { ran.push_back("downloadClicked"); }
    void stopClicked() override { ran.push_back("stopClicked"); }
    void previousClicked() override { ran.push_back("previousClicked"); }
    void nextClicked() override { ran.push_back("nextClicked"); }
    void autoPreviewReleased() override { record("autoPreviewReleased", onRelease); }
    void timerTick() override { ran.push_back("timerTick"); }

    int count(const std::string& name) const {
        int n = 0;
        for (const auto& event : ran) n += event == name;
        return n;
    }

private:
    void record(const char* name, const std::function<void()>& extra) {
        ran.push_back(name);
        if (extra) extra();
    }
};

// The log's lines, each ended by CR LF; `rest` gets what follows the last.
inline std::vector<Text> LogLines(const Text& log, Text& rest) {
    std::vector<Text> lines;
    size_t from = 0;
    for (size_t end; (end = log.find("\r\n", from)) != Text::npos; from = end + 2)
        lines.push_back(log.substr(from, end - from));
    rest = log.substr(from);
    return lines;
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        window = std::make_unique<MainWindow>(handlers, list);
        window->showCentred();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    void TearDown() override {
        window.reset();
        QApplication::processEvents();
    }

    WindowControls& controls() { return window->controls(); }
    template <typename T>
    T* control(std::string_view name) {
        T* found = controls().as<T>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    // The result list's view and what it shows.
    QTableView* listView() { return control<QTableView>(ctl::kResultList); }
    PictureListModel& listModel() {
        return *qobject_cast<PictureListModel*>(listView()->model());
    }

    RecordingHandlers handlers;
    PictureList list;  // outlives the window, as the program's does
    std::unique_ptr<MainWindow> window;
};

}  // namespace lumigrab::ui::testing
