// The picture test against the full decode it answers for: time of each on
// an ordinary web JPEG (1024x768, about 50 KB), a large one (about 5 MB) and
// small files that claim huge pictures; then the peak resident memory of a
// child process that tests the huge claims on many threads at once, against
// one that decodes them. Prints figures only.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "picture/picture.h"
#include "tools/encode/encode.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
namespace encode = lumigrab::encode;

// Smooth shading with a little grain, so the encoders see something
// photo-like; or, with `flat`, one colour per 16x16 tile, which codes to
// almost nothing however large the picture.
std::uint8_t Shade(int x, int y, int channel, unsigned grain, bool flat, std::uint32_t& noise) {
    if (flat) return static_cast<std::uint8_t>(((x / 16 + y / 16 + channel) % 3) * 120);
    noise = noise * 1664525u + 1013904223u;
    const int base = (x * (3 + channel) / 7 + y * (5 - channel) / 9 + channel * 60) % 256;
    const int jitter = grain == 0 ? 0 : static_cast<int>((noise >> 24) % grain) - static_cast<int>(grain / 2);
    return static_cast<std::uint8_t>(std::clamp(base + jitter, 0, 255));
}

// Encodes with libjpeg's default 4:2:0 sampling, like cameras and web sites.
Bytes MakeJpeg(int width, int height, int quality, unsigned grain, bool progressive, bool flat = false) {
    Bytes rgb;
    rgb.reserve(static_cast<std::size_t>(width) * height * 3);
    std::uint32_t noise = 12345;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) rgb.push_back(Shade(x, y, c, grain, flat, noise));
    return encode::Jpeg({.width = width, .height = height, .quality = quality, .progressive = progressive}, rgb);
}

// A checkerboard of 8x8 squares, 1 bit per pixel.
Bytes MakeOneBitPng(int side) {
    std::vector<Bytes> rows;
    rows.reserve(static_cast<std::size_t>(side));
    for (int y = 0; y < side; ++y)
        rows.emplace_back(static_cast<std::size_t>(side + 7) / 8, static_cast<std::uint8_t>((y / 8) % 2 ? 0xFF : 0x00));
    encode::PngSettings settings;
    settings.width = settings.height = side;
    settings.color = encode::PngColor::Gray;
    settings.bitDepth = 1;
    return encode::Png(settings, rows);
}

// Logical screen 8192x8192, one 1x1 frame: 35 bytes.
Bytes MakeHugeScreenGif() {
    return {'G', 'I', 'F', '8', '9', 'a', 0x00, 0x20, 0x00, 0x20, 0x80, 0, 0,  // screen, 2-colour table
            0, 0, 0, 255, 255, 255,                                            // the table
            0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0,                                   // the 1x1 frame
            0x02, 0x02, 0x44, 0x01, 0x00,                                      // its LZW data
            0x3B};
}

struct Sample {
    std::string name;
    Bytes bytes;
    int rounds;
};

double MedianMs(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void TimeSample(const Sample& s) {
    std::vector<double> test, decode;
    bool agree = true;
    for (int i = 0; i < s.rounds; ++i) {
        auto t0 = Clock::now();
        const bool is = lumigrab::IsPicture(s.bytes);
        auto t1 = Clock::now();
        const bool decoded = lumigrab::DecodePicture(s.bytes).has_value();
        auto t2 = Clock::now();
        agree = agree && is && decoded;
        test.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        decode.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
    }
    const double t = MedianMs(test), d = MedianMs(decode);
    std::printf("%-28s %9zu B %10.2f %10.2f %7.1fx %s\n", s.name.c_str(), s.bytes.size(), t, d, d / t,
                agree ? "" : "  (not accepted by both!)");
}

// Peak resident memory, in MiB, of a child that runs `threads` calls of
// `call` at once over the samples in turn.
long PeakOfChild(const std::vector<Sample>& samples, int threads, const std::function<bool(const Bytes&)>& call) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return -1;
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        close(pipeEnds[0]);
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([&, t] { call(samples[static_cast<std::size_t>(t) % samples.size()].bytes); });
        for (std::thread& t : pool) t.join();
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        const long kb = usage.ru_maxrss;
        _exit(write(pipeEnds[1], &kb, sizeof kb) == static_cast<ssize_t>(sizeof kb) ? 0 : 1);
    }
    close(pipeEnds[1]);
    long kb = -1;
    if (read(pipeEnds[0], &kb, sizeof kb) != static_cast<ssize_t>(sizeof kb)) kb = -1;
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return kb < 0 ? -1 : kb / 1024;
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

int main() {
    std::printf("load average at start: %s\n", LoadAverage().c_str());
    std::vector<Sample> ordinary = {
        {"jpeg 1024x768", MakeJpeg(1024, 768, 70, 10, false), 41},
        {"jpeg 1024x768 progressive", MakeJpeg(1024, 768, 70, 10, true), 41},
        {"jpeg 4000x3000", MakeJpeg(4000, 3000, 90, 48, false), 5},
    };
    std::vector<Sample> huge = {
        {"gif 8192x8192 screen, 1x1", MakeHugeScreenGif(), 3},
        {"png 8000x8000 1-bit", MakeOneBitPng(8000), 3},
        {"jpeg 8000x8000 progressive", MakeJpeg(8000, 8000, 75, 0, true, true), 3},
    };
    std::printf("\nmedian ms per call            size        IsPicture  Decode     ratio\n");
    for (const Sample& s : ordinary) TimeSample(s);
    for (const Sample& s : huge) TimeSample(s);

    // Decoding the huge claims whole takes 256-450 MB each; a few threads of
    // that make the point without taking the shared machine's memory.
    constexpr int kManyTests = 50;
    constexpr int kFewDecodes = 6;
    const auto test = [](const Bytes& b) { return lumigrab::IsPicture(b); };
    const auto decode = [](const Bytes& b) { return lumigrab::DecodePicture(b).has_value(); };
    std::printf("\npeak resident memory of a child over the huge claims (MiB)\n");
    std::printf("  IsPicture,     %2d threads: %ld\n", kManyTests, PeakOfChild(huge, kManyTests, test));
    std::printf("  IsPicture,     %2d threads: %ld\n", kFewDecodes, PeakOfChild(huge, kFewDecodes, test));
    std::printf("  DecodePicture, %2d threads: %ld\n", kFewDecodes, PeakOfChild(huge, kFewDecodes, decode));
    std::printf("\nload average at end: %s\n", LoadAverage().c_str());
    return 0;
}
