#pragma once
// Noise JPEGs of a chosen size for the download bench: noise costs about the
// same bytes per pixel in every picture, so sizes are predictable, and no two
// pictures share their bytes.
#include <cmath>
#include <cstdint>
#include <cstdio>  // before jpeglib.h, which uses FILE
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <jpeglib.h>

namespace lumigrab::bench {

// libjpeg's compressor writing to memory. Its errors only come from running
// out of memory, which ends this bench.
class JpegWriter {
public:
    JpegWriter() {
        info_.err = jpeg_std_error(&error_);
        error_.error_exit = [](j_common_ptr info) {
            (*info->err->output_message)(info);
            std::_Exit(1);
        };
        jpeg_create_compress(&info_);
    }
    ~JpegWriter() {
        jpeg_destroy_compress(&info_);
        std::free(out_);
    }
    JpegWriter(const JpegWriter&) = delete;
    JpegWriter& operator=(const JpegWriter&) = delete;

    // Random pixels from `seed`.
    std::string noise(int width, int height, std::uint32_t seed) {
        std::mt19937 random(seed);
        std::vector<JSAMPLE> rgb(static_cast<std::size_t>(width) * height * 3);
        for (auto& sample : rgb) sample = static_cast<JSAMPLE>(random() >> 24);
        std::free(out_);
        out_ = nullptr;
        unsigned long size = 0;
        jpeg_mem_dest(&info_, &out_, &size);
        info_.image_width = static_cast<JDIMENSION>(width);
        info_.image_height = static_cast<JDIMENSION>(height);
        info_.input_components = 3;
        info_.in_color_space = JCS_RGB;
        jpeg_set_defaults(&info_);
        jpeg_set_quality(&info_, 85, TRUE);
        jpeg_start_compress(&info_, TRUE);
        while (info_.next_scanline < info_.image_height) {
            JSAMPROW row = &rgb[static_cast<std::size_t>(info_.next_scanline) * width * 3];
            jpeg_write_scanlines(&info_, &row, 1);
        }
        jpeg_finish_compress(&info_);
        return std::string(reinterpret_cast<const char*>(out_), size);
    }

    // A 4:3 noise picture of about `target` bytes, from one trial encode.
    std::pair<int, int> sidesFor(std::size_t target) {
        constexpr int kTrial = 256;
        const double perPixel = static_cast<double>(noise(kTrial, kTrial, 1).size()) / (kTrial * kTrial);
        const double width = std::sqrt(static_cast<double>(target) / perPixel * 4.0 / 3.0);
        return {static_cast<int>(width), static_cast<int>(width * 3.0 / 4.0)};
    }

private:
    jpeg_compress_struct info_{};
    jpeg_error_mgr error_{};
    unsigned char* out_ = nullptr;
};

// `jpeg` (as JpegWriter writes it) with a comment naming `id` after its JFIF
// header: distinct bytes per address from one big picture kept in memory.
inline std::string NumberedCopy(const std::string& jpeg, int id) {
    const std::size_t app0End = 4 + ((static_cast<unsigned char>(jpeg[4]) << 8) | static_cast<unsigned char>(jpeg[5]));
    const std::string text = "picture " + std::to_string(id);
    std::string out;
    out.reserve(jpeg.size() + text.size() + 4);
    out.append(jpeg, 0, app0End);
    out += "\xFF\xFE";
    out += static_cast<char>((text.size() + 2) >> 8);
    out += static_cast<char>((text.size() + 2) & 0xFF);
    out += text;
    out.append(jpeg, app0End, std::string::npos);
    return out;
}

}  // namespace lumigrab::bench
