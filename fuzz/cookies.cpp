// Merges two cookie texts taken from the input; checks the merge's own
// promises on whatever it gets.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "net/cookies.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumigrab;
    std::string_view all(reinterpret_cast<const char*>(data), size);
    const size_t cut = all.find('\n');
    Text oldCookies(all.substr(0, cut));
    Text newCookies(cut == std::string_view::npos ? std::string_view{} : all.substr(cut + 1));
    const Text merged = MergeCookies(oldCookies, newCookies);
    // The returned copy and the caller's variable agree; no surviving pair is
    // a deletion marker, and no pair appears twice.
    if (merged != oldCookies) std::abort();
    const TextList pairs = SplitText(merged, "; ");
    for (size_t i = 0; i < pairs.size(); ++i) {
        if (RightText(pairs[i], 8) == "=deleted") std::abort();
        for (size_t j = i + 1; j < pairs.size(); ++j)
            if (pairs[i] == pairs[j]) std::abort();
    }
    (void)CookieName(merged);
    return 0;
}
