#pragma once
// Cookies a user brings from elsewhere: the Netscape cookies.txt that curl,
// wget, yt-dlp and browser extensions write. One cookie a line, seven fields
// separated by tabs: domain, whether the hosts under it get the cookie too
// (TRUE/FALSE), path, Secure (TRUE/FALSE), expiry in seconds since 1970 (0:
// for the session), name, value. Blank lines and lines starting with "#" are
// skipped, except "#HttpOnly_", which curl puts before a cookie's domain.
#include <cstdint>
#include <string>
#include <string_view>

#include "net/cookies.h"

namespace lumigrab {

// Adds the cookies of `text` (a whole file) to `jar`, as CookieJar::add
// keeps them: an expired one is left out. Empty on success; otherwise why
// the first malformed line is one, naming its number ("line 3: ..."), and
// the jar may hold the lines before it.
std::string ReadCookiesText(std::string_view text, CookieJar& jar, std::int64_t now);

}  // namespace lumigrab
