// Lumigrab: start-up, the event loop, and the end of the process.
#include <QApplication>

#include "platform/program_info.h"
#include "window/busy_meter.h"
#include "window/cross_thread_port.h"
#include "window/main_window.h"
#include "program/program.h"
#include "program/shell.h"

int main(int argc, char** argv) {
    using namespace lumigrab;
    // Before anything else: later steps write beside the executable.
    ProgramInfo info = RecordProgramInfo(argc > 0 ? argv[0] : nullptr);

    QApplication app(argc, argv);
    ui::PrepareApplication(app);
    // Measures the window thread only when the environment asks for it.
    const ui::BusyReport busy = ui::BusyReportFromEnvironment();

    Program program(std::move(info));
    ui::MainWindow window(program, program.pictureList());
    ui::CrossThreadPort port(window.controls(), &window);
    program.attachWindow(port, [&window] { window.raiseMainWindow(); });

    // Closing ends the process at once with 0; workers still running end
    // with it, and nothing waits for them.
    window.setCloseAction([&busy] {
        busy.write();
        ui::FinishProcess(0);
    });
    ui::SignalCloser closer([&window] { window.close(); });

    window.showCentred();
    app.exec();
    busy.write();
    ui::FinishProcess(0);
}
