#include "net/cookies.h"

namespace lumigrab {

namespace {

constexpr std::string_view kJoin = "; ";
constexpr std::string_view kDeletedMarker = "=deleted";

}  // namespace

Text CookieName(std::string_view pair) {
    const int eq = FindText(pair, "=");
    if (eq == -1) return TrimSpaces(pair);
    return TrimSpaces(LeftText(pair, eq - 1));
}

Text DedupePieces(std::string_view text, std::string_view separator) {
    TextList seen;
    Text result;
    for (const Text& piece : SplitText(text, separator)) {
        bool already = false;
        for (const Text& earlier : seen) {
            if (CompareText(earlier, piece) == 0) {
                already = true;
                break;
            }
        }
        if (already) continue;
        seen.push_back(piece);
        result += piece;
        result += separator;
    }
    return LeftText(result, static_cast<long long>(result.size()) -
                                static_cast<long long>(separator.size()));
}

Text MergeCookies(Text& cookies, Text& newCookies) {
    // Servers and callers disagree about spacing; without spaces, "a = 1" and
    // "a=1" name the same cookie and compare equal later on.
    cookies = RemoveSpaces(cookies);
    newCookies = RemoveSpaces(newCookies);

    const TextList oldPairs = SplitText(cookies, ";");
    TextList merged = SplitText(newCookies, ";");

    // A fresh cookie wins over an old one of the same name. Old pairs that
    // survive are appended, so a second old pair of a name already carried
    // over is dropped as well.
    for (const Text& oldPair : oldPairs) {
        const Text name = CookieName(oldPair);
        bool replaced = false;
        for (const Text& pair : merged) {
            if (CompareText(CookieName(pair), name) == 0) {
                replaced = true;
                break;
            }
        }
        if (!replaced) merged.push_back(oldPair);
    }

    // "name=deleted" is how servers expire a cookie; the marker has done its
    // job once it has displaced the old pair, so it is not kept.
    Text joined;
    for (const Text& pair : merged) {
        if (RightText(pair, static_cast<long long>(kDeletedMarker.size())) == kDeletedMarker) continue;
        joined += pair;
        joined += kJoin;
    }
    joined = LeftText(joined, static_cast<long long>(joined.size()) - 2);

    cookies = DedupePieces(joined, kJoin);
    return cookies;
}

}  // namespace lumigrab
