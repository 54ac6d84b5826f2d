#pragma once
// Talking to the image-search service: requests that follow redirects
// themselves, so a person who is turned away can be told where to, and the
// front-page visit that gets the session cookies a browser would hold.
#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "net/cookies.h"
#include "net/http_request.h"

namespace lumigrab {

struct Redirect {
    int status = 0;      // 301, 302, 303, 307 or 308
    std::string target;  // resolved against the address that answered
};

// One GET and the redirects it led to.
struct ServiceAnswer {
    std::vector<Redirect> redirects;     // in the order followed
    int status = 0;                      // of the last response; 0: none came
    HttpFailure failure = HttpFailure::None;
    std::string stopped;                 // why it went no further (redirects, a retry)
    Text headers;                        // of the last response
    Bytes body;
};

// GET with HttpRequest's default headers, those of `extraHeaders` (a block of
// "Name: value" lines) replacing or joining them; each hop carries the
// cookies of `cookies` that its address may have (as a browser sends them),
// and `cookies` takes in what each response sets. At most 10 redirects,
// http(s) only.
ServiceAnswer GetFollowing(std::string_view url, CookieJar& cookies, const std::atomic<bool>* cancel,
                           std::string_view extraHeaders = {});

// The service's words when an answer is a refusal of automated access: a
// redirect to, or a page of, its verification ("百度安全验证"), or HTTP 403
// or 429. Empty when it is not one. UTF-8.
std::string RefusalOf(const ServiceAnswer& answer);

// "HTTP 302 to https://…; HTTP 200, 1234 bytes, title “…”": what a person
// needs to see what the service did. Printable on a terminal (UTF-8).
std::string DescribeAnswer(const ServiceAnswer& answer);

// The page's <title> as ShownWords shows it; empty when there is none.
std::string PageTitle(const Bytes& body);

// What the service wrote for a person (a page's title, a refusal's message)
// as a terminal or the log may show it: white space and control characters
// collapsed into one space, direction overrides dropped, bytes that are not
// UTF-8 as U+FFFD, at most 200 bytes.
std::string ShownWords(std::string_view words);

// Visits the front page of `origin` once and returns `cookies` with those it
// set. Only `cookies` when it failed; `note` then says what happened.
CookieJar VisitFrontPage(std::string_view origin, const std::atomic<bool>* cancel, std::string& note,
                         CookieJar cookies = {});

}  // namespace lumigrab
