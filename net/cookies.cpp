#include "net/cookies.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

#include "net/redirects.h"

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
    // Pieces compare byte for byte, so a set of them finds a repeat as surely
    // as comparing with every earlier piece, without the square of the count.
    std::unordered_set<std::string_view> seen;
    const TextList pieces = SplitText(text, separator);
    Text result;
    for (const Text& piece : pieces) {
        if (!seen.insert(piece).second) continue;
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
    std::unordered_set<Text> names;
    for (const Text& pair : merged) names.insert(CookieName(pair));
    for (const Text& oldPair : oldPairs) {
        if (names.insert(CookieName(oldPair)).second) merged.push_back(oldPair);
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

namespace lumigrab {
namespace {

std::string_view Trim(std::string_view text) {
    const std::size_t start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos) return {};
    const std::size_t end = text.find_last_not_of(" \t");
    return text.substr(start, end - start + 1);
}

bool IsAddressLiteral(std::string_view host) {
    return host.find(':') != std::string_view::npos ||
           host.find_first_not_of("0123456789.") == std::string_view::npos;
}

// A host belongs to a domain when it is the domain or a name under it.
bool DomainMatches(std::string_view host, std::string_view domain) {
    if (host == domain) return true;
    return !IsAddressLiteral(host) && host.size() > domain.size() && host.ends_with(domain) &&
           host[host.size() - domain.size() - 1] == '.';
}

bool PathMatches(std::string_view requestPath, std::string_view cookiePath) {
    if (!requestPath.starts_with(cookiePath)) return false;
    return requestPath.size() == cookiePath.size() || cookiePath.ends_with('/') ||
           requestPath[cookiePath.size()] == '/';
}

// Where a cookie without a Path applies: the request's folder.
std::string DefaultPath(const std::string& path) {
    const std::size_t last = path.rfind('/');
    if (last == 0 || last == std::string::npos) return "/";
    return path.substr(0, last);
}

}  // namespace

void CookieJar::takeFrom(std::string_view url, std::string_view headers) {
    const std::optional<UrlParts> parts = UrlPartsOf(url);
    if (!parts) return;
    std::size_t start = 0;
    while (start < headers.size()) {
        std::size_t end = headers.find('\n', start);
        if (end == std::string_view::npos) end = headers.size();
        std::string_view line = headers.substr(start, end - start);
        start = end + 1;
        if (line.ends_with('\r')) line.remove_suffix(1);
        constexpr std::string_view kName = "set-cookie:";
        if (!StartsWithNoCase(line, kName)) continue;
        take(parts->scheme, parts->host, parts->path, line.substr(kName.size()));
    }
}

void CookieJar::take(const std::string& scheme, const std::string& host, const std::string& path,
                     std::string_view line) {
    const std::size_t semicolon = line.find(';');
    const std::string_view pair = line.substr(0, semicolon);
    const std::size_t eq = pair.find('=');
    if (eq == std::string_view::npos) return;
    Cookie cookie;
    cookie.name = Text(Trim(pair.substr(0, eq)));
    cookie.value = Text(Trim(pair.substr(eq + 1)));
    if (cookie.name.empty()) return;
    std::string domain = host;
    cookie.path = DefaultPath(path);

    bool expired = false;
    std::optional<bool> maxAgeExpired;
    std::string_view rest = semicolon == std::string_view::npos ? std::string_view{} : line.substr(semicolon + 1);
    while (!rest.empty()) {
        const std::size_t next = rest.find(';');
        const std::string_view attribute = rest.substr(0, next);
        rest = next == std::string_view::npos ? std::string_view{} : rest.substr(next + 1);
        const std::size_t equals = attribute.find('=');
        std::string key(Trim(attribute.substr(0, equals)));
        std::transform(key.begin(), key.end(), key.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const std::string value(equals == std::string_view::npos ? std::string_view{}
                                                                 : Trim(attribute.substr(equals + 1)));
        if (key == "secure") {
            cookie.secure = true;
        } else if (key == "path") {
            if (!value.empty() && value[0] == '/') cookie.path = value;
        } else if (key == "domain" && !value.empty()) {
            std::string given = value[0] == '.' ? value.substr(1) : value;
            std::transform(given.begin(), given.end(), given.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            // A domain must cover the host that set it, and be more than a
            // top-level name, or any site could set cookies for all of .com.
            if (!DomainMatches(host, given)) return;
            if (given.find('.') == std::string::npos && given != host) return;
            domain = std::move(given);
            cookie.hostOnly = false;
        } else if (key == "max-age" && !value.empty()) {
            const bool negative = value[0] == '-';
            if (value.find_first_not_of("0123456789", negative ? 1 : 0) == std::string::npos)
                maxAgeExpired = negative || value.find_first_not_of('0') == std::string::npos;
        } else if (key == "expires" && !value.empty()) {
            const time_t when = curl_getdate(value.c_str(), nullptr);
            if (when != -1 && when <= std::time(nullptr)) expired = true;
        }
    }
    if (maxAgeExpired) expired = *maxAgeExpired;  // Max-Age wins over Expires
    // Plain http must not set what only https may read.
    if (cookie.secure && scheme != "https") return;
    keep(domain, std::move(cookie), expired);
}

void CookieJar::add(const Stored& stored, std::int64_t now) {
    Cookie cookie;
    cookie.name = Text(stored.name);
    cookie.value = Text(stored.value);
    cookie.path = Text(stored.path);
    cookie.hostOnly = !stored.subdomains;
    cookie.secure = stored.secure;
    std::string domain(stored.domain);
    std::transform(domain.begin(), domain.end(), domain.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (domain.empty() || cookie.name.empty()) return;
    keep(domain, std::move(cookie), stored.expires != 0 && stored.expires <= now);
}

void CookieJar::keep(const std::string& domain, Cookie cookie, bool expired) {
    // What no browser keeps would only weigh on every request that carries it.
    if (cookie.name.size() + cookie.value.size() > kMaxCookieBytes) return;

    const auto bucket = byDomain_.find(domain);
    if (bucket != byDomain_.end()) {
        std::vector<Cookie>& kept = bucket->second;
        const auto same = std::find_if(kept.begin(), kept.end(), [&](const Cookie& c) {
            return c.name == cookie.name && c.path == cookie.path;
        });
        if (same != kept.end()) {
            if (expired) {
                kept.erase(same);
                --count_;
                if (kept.empty()) byDomain_.erase(bucket);
            } else {
                // Set again, it keeps its place among the oldest.
                cookie.created = same->created;
                *same = std::move(cookie);
            }
            return;
        }
    }
    if (expired) return;
    cookie.created = nextCreated_++;
    std::vector<Cookie>& kept = bucket != byDomain_.end() ? bucket->second : byDomain_[domain];
    if (kept.size() == kMaxCookiesPerDomain) {
        kept.erase(kept.begin());
        --count_;
    }
    kept.push_back(std::move(cookie));
    ++count_;
    if (count_ > kMaxCookies) dropOldest();
}

void CookieJar::dropOldest() {
    // The jar holds many domains only when many hosts set cookies; each
    // domain's oldest is at its front, so this looks at one cookie a domain.
    auto oldest = byDomain_.end();
    for (auto at = byDomain_.begin(); at != byDomain_.end(); ++at) {
        if (oldest == byDomain_.end() || at->second.front().created < oldest->second.front().created)
            oldest = at;
    }
    if (oldest == byDomain_.end()) return;
    oldest->second.erase(oldest->second.begin());
    --count_;
    if (oldest->second.empty()) byDomain_.erase(oldest);
}

Text CookieJar::cookiesFor(std::string_view url) const {
    const std::optional<UrlParts> parts = UrlPartsOf(url);
    if (!parts) return {};
    std::vector<const Cookie*> chosen;
    // The host itself, then each domain above it (a.b.c, b.c, c): the only
    // places its cookies can be. An address literal has no domains above it.
    std::string_view domain = parts->host;
    for (;;) {
        const auto bucket = byDomain_.find(domain);
        if (bucket != byDomain_.end()) {
            const bool ownHost = domain.size() == parts->host.size();
            for (const Cookie& cookie : bucket->second) {
                if (cookie.hostOnly && !ownHost) continue;
                if (!PathMatches(parts->path, cookie.path)) continue;
                if (cookie.secure && parts->scheme != "https") continue;
                chosen.push_back(&cookie);
            }
        }
        const std::size_t dot = domain.find('.');
        if (dot == std::string_view::npos || IsAddressLiteral(parts->host)) break;
        domain.remove_prefix(dot + 1);
    }
    std::sort(chosen.begin(), chosen.end(), [](const Cookie* a, const Cookie* b) {
        if (a->path.size() != b->path.size()) return a->path.size() > b->path.size();
        return a->created < b->created;
    });
    Text line;
    for (const Cookie* cookie : chosen) {
        const std::size_t more = (line.empty() ? 0 : 2) + cookie->name.size() + 1 + cookie->value.size();
        if (line.size() + more > kMaxCookieLineBytes) continue;
        if (!line.empty()) line += "; ";
        line += cookie->name + "=" + cookie->value;
    }
    return line;
}

}  // namespace lumigrab
