// The real window with the skin installer and the single-instance guard in
// their places of the start sequence, for the process tests. It makes the
// same two calls the program makes, so the tests can start real copies before
// and independently of the program's own wiring.
#include <QApplication>

#include "app/program_info.h"
#include "app/single_instance.h"
#include "app/skin_installer.h"
#include "app/ui/cross_thread_port.h"
#include "app/ui/main_window.h"
#include "app/ui/program.h"
#include "app/ui/shell.h"
#include "resources/carried.h"

namespace {

class GuardedProgram : public lumigrab::Program {
public:
    using Program::Program;
    void windowCreated() override {
        if (auto code = lumigrab::InstallSkin(info().folder, lumigrab::SkinLibraryImage(),
                                              lumigrab::SkinFile(10), *window())) {
            lumigrab::ui::FinishProcess(*code);
        }
    }
    void firstActivation() override {
        if (auto code = lumigrab::GuardSingleInstance(*window(), [this] { raiseWindow(); })) {
            lumigrab::ui::FinishProcess(*code);
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    using namespace lumigrab;
    ProgramInfo info = RecordProgramInfo(argc > 0 ? argv[0] : nullptr);
    QApplication app(argc, argv);
    ui::PrepareApplication(app);
    GuardedProgram program(std::move(info));
    ui::MainWindow window(program);
    ui::CrossThreadPort port(window.controls(), &window);
    program.attachWindow(port, [&window] { window.raiseMainWindow(); });
    window.setCloseAction([] { ui::FinishProcess(0); });
    ui::SignalCloser closer([&window] { window.close(); });
    window.showCentred();
    app.exec();
    ui::FinishProcess(0);
}
