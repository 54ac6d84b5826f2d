#pragma once
// The one HTTP operation of the program. Every call is self-contained and safe
// from many threads at once. Callers judge success by an empty body.
#include <optional>
#include <string_view>

#include "text/text.h"

namespace lumigrab {

class HttpConnection;  // a reusable request object (see http_connection.h)

// Parameters 2 to 16 of the request; every one has the default a plain
// `HttpRequest(url)` needs. Pointers are the caller's in-and-out variables;
// null means "omitted".
struct HttpOptions {
    int accessMode = 0;                 // 0 GET, 1 POST, 2 HEAD, other: GET
    Text postText;
    Text* cookies = nullptr;            // in and out
    Text* returnedCookies = nullptr;    // out
    Text* extraHeaders = nullptr;       // in and out (completed block)
    Text* responseHeaders = nullptr;    // out
    int* statusCode = nullptr;          // out
    bool noRedirect = false;
    Bytes postBytes;                    // sent instead of postText when non-empty
    Text proxyAddress;
    int timeoutSeconds = 0;             // -1 library defaults, >=1 seconds, else 15
    Text proxyUser;
    Text proxyPassword;
    std::optional<int> proxyCredentialFlag;  // omitted: 1 (the proxy)
    HttpConnection* requestObject = nullptr;
};

Bytes HttpRequest(std::string_view url, const HttpOptions& options = {});

}  // namespace lumigrab
