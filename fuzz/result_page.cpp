// A result page body as it comes off the wire: cut the picture array out of
// it and read the records. When the body has no array markers the bytes are
// read as the array itself, so the fuzzer reaches the reading without first
// having to rediscover the markers.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "harvest/result_page.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumigrab;
    if (size > 64 * 1024) return 0;
    const Bytes body(data, data + size);
    const Text cut = CutPictureArray(body);
    // The cut stops at the first end marker after the start.
    if (cut.find(kPictureArrayEnd) != Text::npos) std::abort();
    const std::string_view arrayText =
        cut.empty() ? std::string_view(reinterpret_cast<const char*>(data), size)
                    : std::string_view(cut);

    const auto records = ReadPictureArray(arrayText).records;
    // Every record needs at least `{objURL:"x"}` of text behind it.
    if (records.size() > arrayText.size() / 8) std::abort();
    for (const ImageRecord& record : records) {
        if (record.address.empty()) std::abort();
        if (!record.saveName.empty() || !record.state.empty()) std::abort();
    }
    return 0;
}
