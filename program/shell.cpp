#include "program/shell.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QFont>
#include <QSocketNotifier>
#include <QStyleFactory>
#include <csignal>
#include <cstdio>

#include "platform/program_places.h"

namespace lumigrab::ui {

void PrepareApplication(QApplication& app) {
    // Lets the desktop match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QString::fromUtf8(DesktopId().data(), static_cast<qsizetype>(DesktopId().size())));
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) app.setStyle(fusion);
    QFont font;
    font.setFamilies({QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC"),
                      QStringLiteral("Droid Sans Fallback"), QStringLiteral("DejaVu Sans")});
    // 12 px is the size the window's places were laid out for.
    font.setPixelSize(12);
    QApplication::setFont(font);
}

void FinishProcess(int code) {
    std::fflush(nullptr);
    _exit(code);
}

namespace {

// Written by the signal handler, read by the window thread. One pipe per
// process; a second SignalCloser would share it.
int gSignalWriteEnd = -1;

extern "C" void OnTerminationSignal(int) {
    const int saved = errno;
    const char byte = 1;
    if (gSignalWriteEnd >= 0) {
        [[maybe_unused]] ssize_t ignored = write(gSignalWriteEnd, &byte, 1);
    }
    errno = saved;
}

}  // namespace

SignalCloser::SignalCloser(std::function<void()> onSignal) : onSignal_(std::move(onSignal)) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return;
    readEnd_ = ends[0];
    gSignalWriteEnd = ends[1];
    notifier_ = new QSocketNotifier(readEnd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char drain[16];
        while (read(readEnd_, drain, sizeof drain) > 0) {
        }
        if (onSignal_) onSignal_();
    });
    struct sigaction action = {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
}

SignalCloser::~SignalCloser() {
    if (readEnd_ < 0) return;
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
    delete notifier_;
    close(gSignalWriteEnd);
    gSignalWriteEnd = -1;
    close(readEnd_);
}

}  // namespace lumigrab::ui
