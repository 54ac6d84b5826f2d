// A window whose worker threads never stop calling into it, closed while they
// are mid-call: handing writes over, filling the list, and waiting on reads.
// The process must end at once with exit code 0.
#include <QAbstractItemModel>
#include <QApplication>
#include <QTableView>
#include <QTimer>
#include <cstdlib>
#include <thread>

#include "port/controls.h"
#include "port/picture_list.h"
#include "window/cross_thread_port.h"
#include "window/main_window.h"
#include "program/shell.h"

int main(int argc, char** argv) {
    using namespace lumigrab;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ui::PrepareApplication(app);

    EventHandlers handlers;
    PictureList list;
    ui::MainWindow window(handlers, list);
    ui::CrossThreadPort port(window.controls(), &window);
    window.setCloseAction([] { ui::FinishProcess(0); });
    window.showCentred();

    for (int t = 0; t < 6; ++t) {
        std::thread([&port, &list] {
            ImageRecord row;
            row.saveName = "row";
            for (;;) {
                port.appendText(ctl::kLog, "2017-03-07 09:05:03 busy\r\n");
                list.append({row});
                if (list.size() > 2000) list.clear();
                // The one kind of call that waits for the window thread.
                (void)port.text(ctl::kKeyword);
            }
        }).detach();
    }
    // Close once the workers are plainly in full swing.
    QTimer poll;
    const QAbstractItemModel* shown = window.controls().as<QTableView>(ctl::kResultList)->model();
    QObject::connect(&poll, &QTimer::timeout, &window, [&window, shown] {
        if (shown->rowCount() >= 200) window.close();
    });
    poll.start(5);
    app.exec();
    return 3;  // only reached if closing did not end the process
}
