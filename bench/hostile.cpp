// Hostile pictures at many workers: small bodies that claim huge pictures
// (a 35-byte GIF with an 8192 x 8192 screen, an 8000 x 8000 1-bit PNG, an
// 8000 x 8000 progressive JPEG, an 8192 x 8192 progressive CMYK JPEG with
// every component at full resolution), 200 rows at 50 workers through the
// real download stage. Prints the run's peak memory and whether every picture
// was saved byte for byte. Figures only.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench/child_run.h"
#include "download/download.h"
#include "tools/encode/encode.h"
#include "platform/program_info.h"
#include "port/controls.h"
#include "support/fake_window.h"
#include "support/files.h"
#include "support/loopback_server.h"

namespace {

using namespace lumigrab::bench;
using lumigrab::encode::Bytes;
namespace ctl = lumigrab::ctl;
namespace testing = lumigrab::testing;

constexpr int kRowsPerKind = 50;
constexpr int kWorkers = 50;
constexpr int kSide = 8000;

Bytes GiantScreenGif() {
    // Screen 8192 x 8192 with a two-colour table; one 1 x 1 frame whose LZW
    // data is clear, pixel 0, end (codes 4, 0, 5 in 3 bits each).
    return {'G', 'I', 'F', '8', '9', 'a', 0x00, 0x20, 0x00, 0x20, 0x80, 0, 0,
            0, 0, 0, 255, 255, 255,
            0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0,
            2, 2, 0x44, 0x01, 0, 0x3B};
}

Bytes OneBitPng() {
    lumigrab::encode::PngSettings settings;
    settings.width = settings.height = kSide;
    settings.color = lumigrab::encode::PngColor::Gray;
    settings.bitDepth = 1;
    const std::vector<Bytes> rows(kSide, Bytes(kSide / 8, 0x00));
    return lumigrab::encode::Png(settings, rows);
}

Bytes ProgressiveJpeg() {
    lumigrab::encode::JpegSettings settings;
    settings.width = settings.height = kSide;
    settings.color = lumigrab::encode::JpegColor::Gray;
    settings.progressive = true;
    std::vector<std::uint8_t> samples(static_cast<std::size_t>(kSide) * kSide);
    // Smooth bands: a few hundred KB, as small as such a claim can come.
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::uint8_t>((i / kSide) / 32);
    return lumigrab::encode::Jpeg(settings, samples);
}

// 512 MiB of coefficients, four times the picture-test budget: too large for
// a full decode in the budget.
Bytes ProgressiveCmykJpeg() {
    constexpr int kCmykSide = 8192;
    lumigrab::encode::JpegSettings settings;
    settings.width = settings.height = kCmykSide;
    settings.color = lumigrab::encode::JpegColor::Cmyk;
    settings.progressive = true;
    settings.fullChroma = true;
    const auto side = static_cast<std::size_t>(kCmykSide);
    std::vector<std::uint8_t> samples(side * side * 4);
    for (std::size_t y = 0; y < side; ++y) {
        for (std::size_t x = 0; x < side; ++x) {
            std::uint8_t* pixel = &samples[(y * side + x) * 4];
            pixel[0] = static_cast<std::uint8_t>(y / 32);
            pixel[1] = static_cast<std::uint8_t>(x / 32);
            pixel[2] = static_cast<std::uint8_t>((x + y) / 64);
            pixel[3] = 200;
        }
    }
    return lumigrab::encode::Jpeg(settings, samples);
}

Figures HostileRun(const std::vector<Bytes>& kinds, const testing::LoopbackServer& server) {
    testing::TempFolder programFolder;
    testing::FakeWindow window;
    window.setText(ctl::kKeyword, "hostile");
    window.setText(ctl::kThreadCount, std::to_string(kWorkers));
    const int rows = kRowsPerKind * static_cast<int>(kinds.size());
    for (int i = 0; i < rows; ++i) {
        window.insertRow(ctl::kResultList, i, "row " + std::to_string(i));
        window.setCell(ctl::kResultList, i, ctl::kColAddress, server.url("/" + std::to_string(i)));
    }
    lumigrab::DownloadState state;
    lumigrab::ProgramInfo program{programFolder.path(), "lumigrab", lumigrab::PortablePlaces(programFolder.path())};

    Figures figures;
    figures.asked = rows;
    const auto start = Clock::now();
    lumigrab::StartDownload(window, state, program);
    const bool ended = window.waitFor([](testing::FakeWindow& w) { return w.isEnabled(ctl::kDownloadButton); },
                                      static_cast<int>(std::chrono::milliseconds(kGiveUp).count()));
    figures.seconds = Seconds(Clock::now() - start);
    figures.gaveUp = !ended;
    if (!state.threads.waitIdle(ended ? 60s : 0s)) ReportAndExit(figures);
    figures.peakRssKb = PeakRssKb();
    // A row counts only when its file holds exactly what was served.
    for (int i = 0; i < rows; ++i) {
        const Bytes& served = kinds[static_cast<std::size_t>(i) % kinds.size()];
        const auto path = programFolder.path() / "hostile" / ("row " + std::to_string(i) + ".jpg");
        if (window.cell(ctl::kResultList, i, ctl::kColState) == "OK" && testing::ReadFile(path) == served) {
            ++figures.saved;
            figures.bytes += static_cast<double>(served.size());
        }
    }
    return figures;
}

}  // namespace

int main() {
    std::printf("load at start: %s\n", LoadAverage().c_str());
    const std::vector<Bytes> kinds{GiantScreenGif(), OneBitPng(), ProgressiveJpeg(), ProgressiveCmykJpeg()};
    std::printf("bodies: GIF %zu B, PNG %zu B, JPEG %zu B, CMYK JPEG %zu B\n", kinds[0].size(), kinds[1].size(),
                kinds[2].size(), kinds[3].size());
    // The server stays in this process, so its copies of the bodies do not
    // count in the measured run's memory.
    testing::LoopbackLimits limits;
    limits.maxConcurrent = 256;
    limits.idleTimeout = 120s;
    testing::LoopbackServer server(
        [&](const testing::LoopbackRequest& request) {
            testing::LoopbackReply reply;
            const std::size_t kind = std::strtoul(request.target.c_str() + 1, nullptr, 10) % kinds.size();
            reply.body.assign(kinds[kind].begin(), kinds[kind].end());
            return reply;
        },
        limits);
    const Figures f = InChild([&] { return HostileRun(kinds, server); });
    if (!f.reported) {
        std::printf("hostile: no report (the run died)\n");
    } else {
        std::printf("hostile  %d rows (GIF 8192^2 screen 35 B, PNG 8000^2 1-bit, progressive JPEG 8000^2, "
                    "progressive CMYK 4:4:4 JPEG 8192^2), "
                    "N = %d: %.1f s, peak RSS %.1f MB, %d of %d saved byte for byte%s\n",
                    f.asked, kWorkers, f.seconds, f.peakRssKb / 1024.0, f.saved, f.asked,
                    f.gaveUp ? " GAVE UP" : "");
    }
    std::printf("load at end: %s\n", LoadAverage().c_str());
}
