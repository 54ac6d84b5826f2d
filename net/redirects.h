#pragma once
// What a caller that follows redirects itself needs: which statuses are
// redirects, where one points, and that target made absolute. Following them
// by hand lets a front end say where a request was sent, and lets the cookies
// each hop sets go with the next.
#include <optional>
#include <string>
#include <string_view>

#include "net/http_request.h"

namespace lumigrab {

bool IsRedirectStatus(int status);

// The Location line's value of a response header block; empty when none.
std::string LocationOf(const Text& headers);

// `location` resolved against `base` as a browser resolves it; empty unless
// the result is an http or https address.
std::string ResolveHttpAddress(const std::string& base, const std::string& location);

// The parts of an address that decide where its cookies go and who answers it.
struct UrlParts {
    std::string scheme;
    std::string host;  // lower case
    std::string path;  // "/" at least
};
// nullopt when libcurl does not take `url` as an address with a host.
std::optional<UrlParts> UrlPartsOf(std::string_view url);

// "scheme://name[:port]" as written at the start of `url`, in lower case:
// what connections and per-host limits are counted by. The whole text, lower
// case, when it has no "://".
std::string UrlOrigin(std::string_view url);

// A request's failure in a word or two ("too slow", "no connection", …), for
// front ends that explain failures to a person.
std::string_view FailureText(HttpFailure failure);

}  // namespace lumigrab
