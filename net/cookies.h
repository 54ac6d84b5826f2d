#pragma once
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
class CookieJar {
public:
    // Takes in the Set-Cookie lines of a response's header block, which
    // `url` answered with. A cookie whose Domain does not cover that host, or
    // a Secure one sent over plain http, is ignored; an expired one removes
    // its namesake.
    void takeFrom(std::string_view url, std::string_view headers);
    // The Cookie line's value for a request to `url` ("a=1; b=2"), longest
    // paths first; empty when no cookie applies.
    Text cookiesFor(std::string_view url) const;
    bool empty() const { return cookies_.empty(); }

private:
    struct Cookie {
        Text name;
        Text value;
        Text domain;  // lower case, without a leading dot
        Text path;
        bool hostOnly = true;
        bool secure = false;
    };
    void take(const std::string& scheme, const std::string& host, const std::string& path,
              std::string_view line);

    std::vector<Cookie> cookies_;  // in the order they were first set
};

}  // namespace lumigrab
