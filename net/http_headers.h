#pragma once
// The text side of an HTTP exchange, kept apart from the transfer so it can be
// checked without a server: completing the caller's request header block,
// turning it into the header lines that go on the wire, and reading the
// cookies back out of the response headers.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text/text.h"

namespace lumigrab {

inline constexpr std::string_view kDefaultAccept = "Accept: */*";
inline constexpr std::string_view kDefaultAcceptLanguage = "Accept-Language: zh-cn";
inline constexpr std::string_view kDefaultUserAgent =
    "User-Agent: Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";
inline constexpr std::string_view kDefaultContentType =
    "Content-Type: application/x-www-form-urlencoded";

// Adds the default lines the block lacks, in the order Accept, Referer (the
// request's own address), Accept-Language, User-Agent, Content-Type. A default
// counts as present when its marker ("Accept:" and so on, exact case) occurs
// anywhere in the block.
Text CompleteRequestHeaders(Text block, std::string_view url);

// A header we are willing to put on the wire: a non-empty name of token
// characters and a value free of CR, LF and NUL (anything else would let a
// caller's text smuggle extra header lines into the request).
bool IsSendableHeader(std::string_view name, std::string_view value);

// The request header lines in wire order: "Cookie: <cookies>" when there are
// cookies, then one "Name: Value" per non-empty line of the block that is
// sendable ("Name:" when the value is empty). Lines that are not are left
// out; the others still go.
std::vector<std::string> RequestHeaderLines(std::string_view cookies, std::string_view block);

// The value of the first line of response header text named `name` (any
// letter case); nothing when no line is.
std::optional<Text> ResponseHeader(std::string_view headers, std::string_view name);

// Every "Set-Cookie", in any letter case, written "Set-Cookie".
Text NormaliseSetCookieNames(std::string_view headers);

// The name=value pairs of the Set-Cookie lines of normalised header text, in
// line order, joined by "; "; attributes are dropped.
Text CookiesFromHeaders(std::string_view normalisedHeaders);

}  // namespace lumigrab
