#pragma once
// The main window: all controls with their names, places and starting state,
// and the wiring of control events to the program's handlers.
#include <QWidget>
#include <functional>
#include <memory>

#include "port/event_handlers.h"
#include "port/picture_list.h"
#include "text/text.h"

class QTimer;

namespace lumigrab::ui {

class WindowControls;

// The usage text the log box holds at start (GBK, CR LF line ends).
Text UsageText();

class MainWindow : public QWidget {
    Q_OBJECT
public:
    // Room for the group boxes (the right-hand ones end at 984, 552).
    static constexpr int kClientWidth = 992;
    static constexpr int kClientHeight = 560;
    static constexpr int kDepthEntries = 100;

    // `list` is what the result list shows; it outlives the window.
    MainWindow(EventHandlers& handlers, PictureList& list);
    ~MainWindow() override;

    // The created event (the handler, then 选择框1 greyed), the first time
    // only; then shows the window centred on its screen.
    void showCentred();
    // Brings the window to the front for a second copy of the program.
    void raiseMainWindow();
    // Run when the user closes the window, instead of a plain close. The
    // program ends the process there.
    void setCloseAction(std::function<void()> action) { closeAction_ = std::move(action); }

    WindowControls& controls() { return *controls_; }

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls(PictureList& list);

    EventHandlers& handlers_;
    std::unique_ptr<WindowControls> controls_;
    std::function<void()> closeAction_;
    bool created_ = false;
    bool activated_ = false;
};

}  // namespace lumigrab::ui
