// Splits the input into a text and two markers and runs the cutting
// operations over them; anything but a crash or an out-of-bounds read is fine.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "text/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumigrab;
    std::string_view all(reinterpret_cast<const char*>(data), size);
    // Layout: <left>\x01<right>\x01<text>; missing pieces are empty.
    const size_t a = all.find('\x01');
    const std::string_view left = all.substr(0, a == std::string_view::npos ? 0 : a);
    std::string_view rest = a == std::string_view::npos ? all : all.substr(a + 1);
    const size_t b = rest.find('\x01');
    const std::string_view right = b == std::string_view::npos ? std::string_view{} : rest.substr(0, b);
    const std::string_view text = b == std::string_view::npos ? rest : rest.substr(b + 1);
    const int start = size ? static_cast<int>(data[0]) - 8 : 1;

    (void)TextBetween(text, left, right, start, size && (data[size - 1] & 1));
    (void)SplitText(text, left, start);
    (void)ReplaceText(text, left, right, start, start % 5 - 1, size % 2);
    (void)FindText(text, right, start, true);
    (void)TrimSpaces(text);
    (void)RemoveSpaces(text);
    (void)TextToInteger(text);
    (void)HeaderName(text);
    (void)HeaderValue(text);
    (void)MidText(text, start, static_cast<long long>(size) - start);
    return 0;
}
