#include "program/program.h"

#include "download/save_folder.h"
#include "platform/single_instance.h"
#include "platform/skin_installer.h"
#include "program/shell.h"
#include "resources/carried.h"

namespace lumigrab {

namespace {
constexpr int kStartSkin = 10;
}

void Program::windowCreated() {
    // A skin library that cannot be loaded ends the process before the
    // window is ever shown; the installer has told the user why.
    if (auto code = InstallSkin(info_.places.libraryFolder, SkinLibraryImage(), SkinFile(kStartSkin), *window_)) {
        ui::FinishProcess(*code);
    }
    // The user's folders an installed program could not have, said as a
    // download says a folder it could not make.
    for (const auto& folder : info_.places.unavailable) LogFolderNotMade(*window_, folder);
}

void Program::firstActivation() {
    if (auto code = GuardSingleInstance(*window_, [this] { raiseWindow(); })) {
        ui::FinishProcess(*code);
    }
}

void Program::endRuns(std::chrono::milliseconds bound) {
    harvest_.workers.stop();
    StopDownloadForExit(download_);
    preview_.stepFetch.stop();
    EndAutoPreview(preview_);
    DetachedThreads::waitAllIdle(bound);
}

// The automatic preview's fetches in flight show rows of the list a harvest
// or a Stop empties; they end with it.
void Program::harvestClicked() {
    if (StartHarvest(*window_, harvest_)) EndAutoPreview(preview_);
}
void Program::downloadClicked() { StartDownload(*window_, download_, info_); }
void Program::stopClicked() {
    if (StopDownload(*window_, download_)) EndAutoPreview(preview_);
}
void Program::previousClicked() { ShowPreviousPicture(*window_, preview_); }
void Program::nextClicked() { ShowNextPicture(*window_, preview_); }
void Program::autoPreviewReleased() { ToggleAutoPreview(*window_, preview_); }
void Program::timerTick() { AutoPreviewTick(*window_, preview_); }

}  // namespace lumigrab
