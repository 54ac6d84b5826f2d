// An answer of the JSON endpoint as it comes off the wire. Whatever it holds,
// the reading ends, and what it gives is one of its three shapes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "harvest/json_results.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumigrab;
    if (size > 256 * 1024) return 0;
    const JsonPageReading reading = ReadJsonPage(std::string_view(reinterpret_cast<const char*>(data), size));
    const auto& records = reading.pictures.records;
    if (reading.refusal && (reading.isData || reading.refusal->empty() || reading.refusal->size() > 200 + 3))
        std::abort();
    if (!reading.isData && (!records.empty() || reading.pictures.unreadable)) std::abort();
    if (reading.pictures.unreadable && !records.empty()) std::abort();
    // Every record needs at least `{"objURL":"x"}` of text behind it.
    if (records.size() > size / 14) std::abort();
    for (const ImageRecord& record : records) {
        if (record.address.empty()) std::abort();
        if (!record.saveName.empty() || !record.state.empty()) std::abort();
    }
    return 0;
}
