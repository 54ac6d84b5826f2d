#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string_view>
#include <vector>

#include "text/text.h"

namespace lumigrab {

// Merges the cookies a response set into the caller's cookie text. On return
// `cookies` holds the merged text ("a=1; b=2"), `newCookies` its own text with
// every space removed; a copy of the merged text is returned.
Text MergeCookies(Text& cookies, Text& newCookies);
Text CookieName(std::string_view pair);
Text DedupePieces(std::string_view text, std::string_view separator);

// The cookies of one browsing session, kept and sent the way a browser does:
// a cookie goes back only to the host that set it (or, with a Domain, to that
// domain and the hosts under it), only under its Path, and only over https
// when it is Secure. The flat cookie text above goes wherever its caller
// sends it; a session that follows redirects to other hosts needs this.
//
// Bounded as browsers bound theirs, so a host that sets thousands of cookies
// makes neither the jar nor every later request large: a cookie of more than
// kMaxCookieBytes is refused, a domain keeps its kMaxCookiesPerDomain newest
// and the jar its kMaxCookies newest (the oldest set goes first), and a
// Cookie line stops short of kMaxCookieLineBytes. A request's cookies are
// found under its host's own name and the domains above it, never by a walk
// through the whole jar.
inline constexpr std::size_t kMaxCookieBytes = 4096;  // name and value together
inline constexpr std::size_t kMaxCookiesPerDomain = 50;
inline constexpr std::size_t kMaxCookies = 3000;
inline constexpr std::size_t kMaxCookieLineBytes = 8192;

class CookieJar {
public:
    // Takes in the Set-Cookie lines of a response's header block, which
    // `url` answered with. A cookie whose Domain does not cover that host, or
    // a Secure one sent over plain http, is ignored; an expired one removes
    // its namesake.
    void takeFrom(std::string_view url, std::string_view headers);
    // The Cookie line's value for a request to `url` ("a=1; b=2"), longest
    // paths first, then the earliest set; a cookie that would take the line
    // past kMaxCookieLineBytes is left out. Empty when no cookie applies.
    Text cookiesFor(std::string_view url) const;
    // Takes in a cookie the user brought (a cookies file), kept and bounded
    // as one a response set: `domain` without a leading dot, for the hosts
    // under it too with `subdomains`; an `expires` (seconds since 1970) at or
    // before `now` removes its namesake instead, and 0 means the session.
    struct Stored {
        std::string_view domain;
        bool subdomains = false;
        std::string_view path;
        bool secure = false;
        std::int64_t expires = 0;
        std::string_view name;
        std::string_view value;
    };
    void add(const Stored& cookie, std::int64_t now);
    bool empty() const { return count_ == 0; }
    std::size_t size() const { return count_; }

private:
    struct Cookie {
        Text name;
        Text value;
        Text path;
        bool hostOnly = true;
        bool secure = false;
        std::uint64_t created = 0;  // order of first setting, across the jar
    };
    void take(const std::string& scheme, const std::string& host, const std::string& path,
              std::string_view line);
    void keep(const std::string& domain, Cookie cookie, bool expired);
    void dropOldest();

    // By domain (lower case, without a leading dot; a host-only cookie's is
    // its host), each oldest first.
    std::map<Text, std::vector<Cookie>, std::less<>> byDomain_;
    std::size_t count_ = 0;
    std::uint64_t nextCreated_ = 0;
};

}  // namespace lumigrab
