#include "net/http_headers.h"

namespace lumigrab {

namespace {

constexpr std::string_view kCrLf = "\r\n";

bool IsTokenChar(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+':
        case '-': case '.': case '^': case '_': case '`': case '|': case '~':
            return true;
        default:
            return false;
    }
}

void AppendDefault(Text& block, std::string_view marker, std::string_view line) {
    if (FindText(block, marker) != -1) return;
    block = ConcatText(block, kCrLf, line);
}

}  // namespace

Text CompleteRequestHeaders(Text block, std::string_view url) {
    // The markers are matched with exact case and anywhere in the block, on
    // purpose: "Accept:" is not inside "Accept-Language:", and a caller's
    // "accept:" line gets the default beside it rather than instead of it.
    if (block.empty()) {
        block = Text(kDefaultAccept);
    } else {
        AppendDefault(block, "Accept:", kDefaultAccept);
    }
    AppendDefault(block, "Referer:", ConcatText(std::string_view("Referer: "), url));
    AppendDefault(block, "Accept-Language:", kDefaultAcceptLanguage);
    AppendDefault(block, "User-Agent:", kDefaultUserAgent);
    AppendDefault(block, "Content-Type:", kDefaultContentType);
    return block;
}

bool IsSendableHeader(std::string_view name, std::string_view value) {
    if (name.empty()) return false;
    for (unsigned char c : name) {
        if (!IsTokenChar(c)) return false;
    }
    for (char c : value) {
        if (c == '\r' || c == '\n' || c == '\0') return false;
    }
    return true;
}

std::vector<std::string> RequestHeaderLines(std::string_view cookies, std::string_view block) {
    std::vector<std::string> lines;
    if (!cookies.empty() && IsSendableHeader("Cookie", cookies)) {
        lines.push_back(ConcatText(std::string_view("Cookie: "), cookies));
    }
    for (const Text& line : SplitText(block, kCrLf)) {
        if (line.empty()) continue;
        const Text name = HeaderName(line);
        const Text value = HeaderValue(line);
        if (!IsSendableHeader(name, value)) continue;
        // An empty value is still a header the caller asked for.
        lines.push_back(value.empty() ? ConcatText(name, std::string_view(":"))
                                      : ConcatText(name, std::string_view(": "), value));
    }
    return lines;
}

std::optional<Text> ResponseHeader(std::string_view headers, std::string_view name) {
    for (const Text& line : SplitText(headers, kCrLf)) {
        const Text found = HeaderName(line);
        if (found.size() == name.size() && FindNoCase(found, name) == 0) return HeaderValue(line);
    }
    return std::nullopt;
}

Text NormaliseSetCookieNames(std::string_view headers) {
    return ReplaceText(headers, "Set-Cookie", "Set-Cookie", 1, -1, false);
}

Text CookiesFromHeaders(std::string_view normalisedHeaders) {
    Text pairs;
    for (const Text& line : SplitText(normalisedHeaders, kCrLf)) {
        if (FindText(line, "Set-Cookie") == -1) continue;
        Text pair;
        if (FindText(line, ";") != -1) {
            pair = TextBetween(line, "Set-Cookie:", ";");
        } else {
            pair = ReplaceText(line, "Set-Cookie:", "", 1, -1, false);
        }
        pairs += TrimSpaces(pair);
        pairs += "; ";
    }
    return LeftText(pairs, static_cast<long long>(pairs.size()) - 2);
}

}  // namespace lumigrab
