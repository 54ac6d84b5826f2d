// A window whose worker threads never stop calling into it, closed while they
// are mid-call. The process must end at once with exit code 0.
#include <QApplication>
#include <QTimer>
#include <cstdlib>
#include <thread>

#include "port/controls.h"
#include "window/cross_thread_port.h"
#include "window/main_window.h"
#include "program/shell.h"

int main(int argc, char** argv) {
    using namespace lumigrab;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ui::PrepareApplication(app);

    EventHandlers handlers;
    ui::MainWindow window(handlers);
    ui::CrossThreadPort port(window.controls(), &window);
    window.setCloseAction([] { ui::FinishProcess(0); });
    window.showCentred();

    for (int t = 0; t < 6; ++t) {
        std::thread([&port] {
            for (;;) {
                port.appendText(ctl::kLog, "2017-03-07 09:05:03 busy\r\n");
                port.insertRow(ctl::kResultList, 1 << 30, "row");
                if (port.rowCount(ctl::kResultList) > 2000) port.clearRows(ctl::kResultList);
            }
        }).detach();
    }
    // Close once the workers are plainly in full swing.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &window, [&window] {
        if (window.controls().rowCount(ctl::kResultList) >= 200) window.close();
    });
    poll.start(5);
    app.exec();
    return 3;  // only reached if closing did not end the process
}
