#pragma once
// What a caller that follows redirects itself needs: which statuses are
// redirects, where one points, and that target made absolute. Following them
// by hand lets a front end say where a request was sent, and lets the cookies
// each hop sets go with the next.
#include <string>

#include "net/http_request.h"

namespace lumigrab {

bool IsRedirectStatus(int status);

// The Location line's value of a response header block; empty when none.
std::string LocationOf(const Text& headers);

// `location` resolved against `base` as a browser resolves it; empty unless
// the result is an http or https address.
std::string ResolveHttpAddress(const std::string& base, const std::string& location);

// A request's failure in a word or two ("too slow", "no connection", …), for
// front ends that explain failures to a person.
std::string_view FailureText(HttpFailure failure);

}  // namespace lumigrab
