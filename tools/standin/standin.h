#pragma once
// A local stand-in for the image-search service and for the picture hosts it
// points at. It runs inside the test process (or as lumigrab-standin) and
// listens on 127.0.0.1 only.
//
// How the real program reaches it without any hook of its own: the program
// always asks https://image.baidu.com/search/flip?..., so the stand-in is also
// an HTTP proxy. With https_proxy=http://127.0.0.1:PORT, libcurl sends
// "CONNECT image.baidu.com:443"; the stand-in answers 200, terminates TLS with
// a throwaway self-signed certificate made at start (the program does not
// verify certificates) and serves the same handlers inside the tunnel.
// Picture addresses in the pages are plain http://127.0.0.1:PORT/... so they
// go direct. Absolute-form proxy requests ("GET http://host/path") are served
// by path as well.
//
// Handlers (paths; the query follows "?"):
//
//   /search/flip?tn=baiduimage&ie=utf-8&word=<%XX UTF-8>&pn=<offset>&gsm=0
//               &ct=&ic=0&lm=-1&width=<w>&height=<h>
//       200, text/html; charset=utf-8. HTML and script, then exactly once the
//       text "isNeedAsyncRequest":0,"data": immediately followed by the
//       picture array, then "});" and more HTML. The array is written as a
//       JavaScript literal the way the service writes it ("\/" in addresses,
//       "\'" inside strings, " : " around some colons) and holds the
//       elements pn ... pn+29 of the keyword's result set (fewer near its
//       end, none past it) followed by one empty object "{}". Element i has
//       thumbURL, middleURL, hoverURL, objURL, fromURL, fromPageTitle (HTML,
//       with the keyword inside <strong>), width, height, type, is, ... .
//       pn that is missing or not a number counts as 0.
//       width/height: a nonzero filter makes every listed element report
//       exactly that size, and its picture addresses carry ?w=&h= so the
//       served picture really has that size (each side capped at
//       kMaxPictureSide).
//       Keyword: percent-decoded ("+" is a space), then used in the titles,
//       escaped so that it can never end the array or repeat the marker.
//
//   Special keywords (the decoded word, exact match):
//       "standin-nomarker"   page without the start marker
//       "standin-truncated"  the array breaks off inside an element, then
//                            "});" follows (the cut text is not valid script)
//       "standin-cutoff"     the body ends inside the array (no "});")
//       "standin-empty"      200 with an empty body
//       "standin-emptyarray" the array is "[]"
//       "standin-garbage"    the array text is
//                            [1,2].map(function(){while(1){}})
//                            (valid script that never finishes)
//       "standin-duplicates" elements 0..pn+29 as usual but every element
//                            has the same objURL and thumbURL (those of id 0)
//       "standin-stall"      holds the connection (stallTime, or until the
//                            server stops), then closes without a response
//       "standin-total-N"    an ordinary keyword whose result set has N
//                            elements (0 <= N <= kMaxTotal) instead of
//                            StandinOptions::total
//       "standin-all-pages-P" the first result page lists, in order, every
//                            element the first P pages of an ordinary result
//                            set list (they overlap: 30 from every 20th),
//                            and the pages after it list none
//       "standin-refused"    302 to the relative address kVerifyPath +
//                            "?from=flip", as the service answers clients
//                            it takes for robots
//
//       "standin-gone"       302 to /search/index (the script-rendered app,
//                            no picture array); the JSON endpoint lists the
//                            ordinary result set
//       "standin-gone-verify" gone, and the JSON endpoint answers 302 to
//                            https://kVerifyHost + kVerifyPath
//       "standin-gone-antiflag" gone, and the JSON endpoint refuses every
//                            request with its antiFlag answer
//       "standin-403", "standin-429"  that status to result requests of
//                            either kind (429 with Retry-After: 1)
//
//   /search/acjson?tn=resultjson_com&ipn=rj&word=<%XX UTF-8>&pn=<offset>&rn=30
//               &width=<w>&height=<h>
//       The JSON endpoint. Without the front page's cookie and
//       "Referer: https://image.baidu.com/": 200
//       {"antiFlag":1,"message":"Forbid spider access",...}. Otherwise 200,
//       an object whose "data" array holds the records pn ... pn+29 of the
//       keyword's result set and a final {}: thumbURL, middleURL, hoverURL,
//       objURL and fromURL ciphered, replaceUrl [{ObjURL, FromURL}] in the
//       clear on even indexes, width, height, type, fromPageTitle (with
//       "\'"), di. Elements the result page lists without objURL have no
//       address at all here.
//       StandinOptions::jsonAnswer, when set, is the answer instead.
//   /search/index        200, the app page (HTML and script, no array).
//
//   /  (the front page)  200, a short HTML page that sets the session cookie
//       kSessionCookie, as the image site's front page does.
//   kVerifyPath          200, an HTML page titled kVerifyTitle.
//
//   Pictures: /pic/<kind>/<id>.<ext> (full size) and /thumb/<kind>/<id>.<ext>
//   (thumbnail), optional query w=<px>&h=<px> (size), ms=<n> (delays),
//   bytes=<n> (huge), hop=<n> (redirects). <kind> is the PictureKind's path
//   name below. Bodies are deterministic functions of (kind, id, thumbnail,
//   w, h): the same request always gets the same bytes, and a thumbnail is
//   always smaller than and different from its full-size picture.
//       jpeg       200 image/jpeg, a real JPEG (FF D8 ...)
//       png        200 image/png, a real PNG (89 50 4E 47 ...)
//       gif        200 image/gif, a real GIF (GIF89a ...)
//       html       200 text/html, an HTML page instead of a picture
//       truncated  200 image/jpeg, the first half of the jpeg of that id
//       missing    404 with a short HTML body
//       error      500 with a short HTML body
//       stall      holds the connection ms (default stallTime) or until the
//                  server stops, then closes it without a response
//       reset      headers announcing the full jpeg, half the body, then the
//                  connection is reset (RST)
//       slow       the jpeg of that id after ms (default slowDelay)
//       redirect   302 to the same path with hop+1, forever
//       trickle    200 image/jpeg announcing the jpeg of that id, then one body
//                  byte every ms (default 1000): alive, but hopelessly slow;
//                  ends when the client goes away
//       busy       429 with "Retry-After: 1" to the first request for that
//                  path, the jpeg of that id to every later one
//       huge       200 image/jpeg, Content-Length bytes (default hugeBytes,
//                  capped at kMaxHugeBytes): FF D8 FF E0 then filler, streamed
//   Every picture request (any kind) first waits pictureDelay, while counted
//   as "being served" for maxConcurrentPictures().
//
//   Anything else: 404 with a short HTML body. Requests with a body are read
//   (Content-Length) and the body is ignored; chunked request bodies, request
//   heads over maxRequestBytes and malformed request lines get 400 and the
//   connection is closed. CONNECT to a port other than 443 gets 403.
//
// Limits: at most maxConnections connections are served at once; a connection
// accepted beyond that gets "503 Service Unavailable" and is closed. Idle
// keep-alive connections are closed after idleTimeout. The server stops by
// itself after lifetime (0: only when stopped). stop() and the destructor
// end every connection (stalled ones included) and join every thread.
//
// Thread safety: every const member and setPictureDelay(), resetCounters()
// may be called from any thread while the server runs.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "text/text.h"

namespace lumigrab::standin {

using namespace std::chrono_literals;

inline constexpr int kPageSize = 30;           // elements per page, before the final {}
inline constexpr int kMaxTotal = 10000;        // bound on a result set
inline constexpr int kMaxPictureSide = 2048;   // bound on ?w= and ?h=
inline constexpr std::uint64_t kMaxHugeBytes = 1ull << 32;

// The cookie pair the front page sets.
inline constexpr std::string_view kSessionCookie = "BIDUPSID=5E1D7C0A3B9F4286";
inline constexpr std::string_view kVerifyPath = "/static/captcha/tuxing.html";
// Where the JSON endpoint sends robots: another host, reached through the
// same proxy and served by path like every other.
inline constexpr std::string_view kVerifyHost = "wappass.baidu.com";
inline constexpr std::string_view kVerifyTitle = "百度安全验证";

enum class PictureKind {
    Jpeg,
    Png,
    Gif,
    Html,
    Truncated,
    Missing,
    Error,
    Stall,
    Reset,
    Slow,
    Redirect,
    Huge,
    Trickle,
    Busy,
};

// "jpeg", "png", ... as used in picture paths.
std::string_view KindPathName(PictureKind kind);
std::optional<PictureKind> KindFromPathName(std::string_view name);
// True for Jpeg, Png, Gif, Slow: a download of it yields a whole picture.
bool IsWholePicture(PictureKind kind);

// The picture kinds of a result set repeat this cycle: element i has
// kindCycle[i % size]. Default: jpeg png gif jpeg html png jpeg truncated gif
// missing (7 of 10 whole pictures).
std::vector<PictureKind> DefaultKindCycle();

struct StandinOptions {
    int port = 0;                      // 0: any free port (see port())
    int maxConnections = 64;
    std::size_t maxRequestBytes = 64 * 1024;  // request line + headers
    int total = 75;                    // elements of an ordinary keyword's result set
    std::vector<PictureKind> kindCycle = DefaultKindCycle();
    // Odd elements the page parser must cope with, by result-set index i:
    // i % 25 == 11: "objURL":null; i % 25 == 17: no objURL member;
    // i % 25 == 23: no width member.
    bool elementVariants = true;
    std::chrono::milliseconds pictureDelay = 0ms;
    std::chrono::milliseconds slowDelay = 500ms;
    std::chrono::milliseconds stallTime = 30000ms;
    std::chrono::milliseconds idleTimeout = 15000ms;
    std::chrono::milliseconds lifetime = 600000ms;  // 0: no limit
    std::uint64_t hugeBytes = 100ull * 1024 * 1024;
    bool recordRawRequests = false;
    // Every ordinary keyword's result page sends the client to the
    // script-rendered app, as the service does today where the pages are
    // gone; only the JSON endpoint lists pictures.
    bool resultPageGone = false;
    // When not empty, the JSON endpoint's answer to every request a browser
    // would make, whatever its keyword: for answers no keyword makes.
    std::string jsonAnswer;
    std::size_t maxRecordedRequests = 10000;  // later requests are counted, not kept
};

struct RecordedRequest {
    std::string method;        // "GET", "CONNECT", ...
    std::string target;        // as on the request line
    std::string pathAndQuery;  // origin form ("/pic/jpeg/1.jpg?w=3"); for CONNECT the authority
    std::string host;          // Host header ("" when absent)
    bool viaTunnel = false;    // arrived inside a CONNECT + TLS tunnel
    std::vector<std::pair<std::string, std::string>> headers;  // in order, as sent
    std::string raw;           // request head bytes, only with recordRawRequests
};

// What an ordinary page lists for one element (the final {} excluded).
struct PageElement {
    int index = 0;             // position in the keyword's result set
    PictureKind kind = PictureKind::Jpeg;
    enum class ObjUrl { Present, Null, Absent } objUrlForm = ObjUrl::Present;
    bool hasWidth = true;
    int width = 0;             // as reported in the page
    int height = 0;
    std::string objURL;        // unescaped; empty unless Present
    std::string thumbURL;      // unescaped
};

class StandinServer {
public:
    // Listens before returning; throws std::runtime_error when it cannot.
    explicit StandinServer(StandinOptions options = {});
    ~StandinServer();
    StandinServer(const StandinServer&) = delete;
    StandinServer& operator=(const StandinServer&) = delete;

    int port() const;
    std::string baseUrl() const;   // http://127.0.0.1:PORT
    std::string proxyUrl() const;  // http://127.0.0.1:PORT (for CURLOPT_PROXY / https_proxy)

    // http://127.0.0.1:PORT/pic/<kind>/<id>.<ext>, /thumb/... for thumbnails.
    // w/h > 0 add the size query.
    std::string pictureUrl(PictureKind kind, int id, bool thumbnail = false, int w = 0,
                           int h = 0) const;
    // The elements an ordinary page lists for this keyword (UTF-8, decoded),
    // offset and filters; empty for the special keywords other than
    // standin-total-N and standin-duplicates.
    std::vector<PageElement> listing(std::string_view keywordUtf8, int pn, int width = 0,
                                     int height = 0) const;
    // The exact body served for a path (with query, without host), or for a
    // full http://127.0.0.1:PORT/... address. For flip pages the page bytes
    // (empty for standin-stall). For pictures: the whole body of jpeg, png,
    // gif, html, truncated, missing, error, slow; the partial body of reset;
    // empty for stall, redirect, huge. Unknown paths: the 404 body.
    Bytes expectedBody(std::string_view pathAndQuery) const;

    // Observability. A CONNECT is a request of its own (method "CONNECT",
    // pathAndQuery "host:443"), followed by the requests inside its tunnel.
    std::vector<RecordedRequest> requests() const;
    std::size_t requestCount() const;  // all requests, kept or not
    // Requests whose pathAndQuery equals the argument exactly.
    int hitCount(std::string_view pathAndQuery) const;
    // Requests whose path (query stripped) starts with the prefix:
    // hitsUnder("/pic/") counts full-size picture requests.
    int hitsUnder(std::string_view pathPrefix) const;
    int pageRequests() const;           // /search/flip requests
    int pictureRequests() const;        // /pic/ and /thumb/ requests
    // A picture request is "being served" from its parsed request line until
    // just before the last byte of its answer is written (or the connection
    // is closed or reset), so a client that has its whole body is never still
    // counted when it sends its next request.
    int currentPictures() const;        // picture requests being served now
    int maxConcurrentPictures() const;  // high-water mark of currentPictures()
    int rejectedConnections() const;    // turned away by maxConnections
    // Waits until requestCount() >= n; false on timeout.
    bool waitForRequests(std::size_t n, std::chrono::milliseconds timeout) const;
    void resetCounters();  // records, hits, high-water mark, rejections

    void setPictureDelay(std::chrono::milliseconds delay);

    // Ends every connection and joins every thread; idempotent.
    void stop();
    bool running() const;

    // The path and query the program asks for, for building addresses in
    // tests: /search/flip?tn=baiduimage&ie=utf-8&word=%XX..&pn=..&gsm=0&ct=&ic=0&lm=-1&width=..&height=..
    static std::string FlipPathAndQuery(std::string_view keywordUtf8, int pn,
                                        std::string_view width = "0",
                                        std::string_view height = "0");

    // The library's own state; declared here only so its parts can name it.
    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace lumigrab::standin
