#include "net/cookies_file.h"

#include <charconv>
#include <optional>
#include <vector>

namespace lumigrab {
namespace {

constexpr std::string_view kHttpOnly = "#HttpOnly_";

bool HasControl(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
    return false;
}

bool SameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if ((a[i] | 0x20) != (b[i] | 0x20)) return false;
    return true;
}

// Tools write TRUE and FALSE; some write them in lower case.
std::optional<bool> Truth(std::string_view field) {
    if (SameNoCase(field, "true")) return true;
    if (SameNoCase(field, "false")) return false;
    return std::nullopt;
}

// Why `line` is no cookie line; empty when `cookie` holds it.
std::string ReadLine(std::string_view line, CookieJar::Stored& cookie) {
    std::vector<std::string_view> fields;
    for (std::size_t start = 0;;) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
        if (tab == std::string_view::npos) break;
        start = tab + 1;
    }
    if (fields.size() != 7)
        return "expected 7 fields separated by tabs (domain, subdomains, path, secure, expiry, name, value), found " +
               std::to_string(fields.size());
    std::string_view domain = fields[0];
    if (domain.starts_with('.')) domain.remove_prefix(1);
    // A cookie's name, value and domain end up in a request's header block.
    if (domain.empty() || domain.find_first_of(" /;,") != std::string_view::npos || HasControl(domain))
        return "the domain \"" + std::string(fields[0]) + "\" is not a host name";
    const auto subdomains = Truth(fields[1]);
    if (!subdomains) return "the second field must be TRUE or FALSE";
    if (!fields[2].starts_with('/') || HasControl(fields[2])) return "the path must start with \"/\"";
    const auto secure = Truth(fields[3]);
    if (!secure) return "the fourth field must be TRUE or FALSE";
    std::int64_t expires = 0;
    const char* end = fields[4].data() + fields[4].size();
    const auto [stop, problem] = std::from_chars(fields[4].data(), end, expires);
    if (problem != std::errc() || stop != end || expires < 0)
        return "the expiry \"" + std::string(fields[4]) + "\" is not a whole number of seconds";
    if (fields[5].empty() || fields[5].find_first_of(" =;") != std::string_view::npos || HasControl(fields[5]))
        return "the name must be non-empty, without spaces, \"=\", \";\" or control characters";
    if (fields[6].find(';') != std::string_view::npos || HasControl(fields[6]))
        return "the value must be without \";\" or control characters";
    cookie = {domain, *subdomains, fields[2], *secure, expires, fields[5], fields[6]};
    return {};
}

}  // namespace

std::string ReadCookiesText(std::string_view text, CookieJar& jar, std::int64_t now) {
    std::size_t number = 0;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line.starts_with(kHttpOnly)) {
            line.remove_prefix(kHttpOnly.size());
        } else if (line.starts_with('#') || line.find_first_not_of(" \t") == std::string_view::npos) {
            continue;
        }
        CookieJar::Stored cookie;
        if (std::string why = ReadLine(line, cookie); !why.empty()) return "line " + std::to_string(number) + ": " + why;
        jar.add(cookie, now);
    }
    return {};
}

}  // namespace lumigrab
