#include "resources/carried.h"

extern "C" {
extern const unsigned char lumigrab_skin_library_begin[];
extern const unsigned char lumigrab_skin_library_end[];
extern const int lumigrab_skin_file_count;
extern const unsigned char* const lumigrab_skin_file_bounds[];
}

namespace lumigrab {
namespace {

std::span<const std::uint8_t> Between(const unsigned char* begin, const unsigned char* end) {
    return {reinterpret_cast<const std::uint8_t*>(begin), static_cast<std::size_t>(end - begin)};
}

}  // namespace

std::span<const std::uint8_t> SkinLibraryImage() {
    return Between(lumigrab_skin_library_begin, lumigrab_skin_library_end);
}

std::span<const std::uint8_t> SkinFile(int number) {
    if (number < 1 || number > lumigrab_skin_file_count || number > kSkinFileCount) return {};
    int i = (number - 1) * 2;
    return Between(lumigrab_skin_file_bounds[i], lumigrab_skin_file_bounds[i + 1]);
}

}  // namespace lumigrab
