#pragma once
// Internals of StandinServer shared by its lifecycle and its handlers.
#include <atomic>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "tools/loopback/listener.h"
#include "tools/standin/http.h"
#include "tools/standin/page.h"
#include "tools/standin/pictures.h"
#include "tools/standin/standin.h"
#include "tools/standin/tls.h"

namespace lumigrab::standin {

// What happens to the connection after a response.
enum class After { KeepAlive, Close, Reset };

struct PictureRequest {
    PictureKind kind = PictureKind::Jpeg;
    int id = 0;
    bool thumbnail = false;
    int w = 0;  // requested size, 0: natural
    int h = 0;
    std::optional<long long> ms;
    std::optional<std::uint64_t> bytes;
    long long hop = 0;
};

std::optional<PictureRequest> ParsePicturePath(std::string_view path, std::string_view query);

struct StandinServer::Impl {
    explicit Impl(StandinOptions options);

    // One picture request "being served": counted from the parsed request
    // until just before its last byte is written, so a client that has its
    // whole answer is never still counted when it sends the next request.
    // A client that hung up is not counted either, even before the thread
    // serving it has noticed: a new request checks the others' sockets.
    class Flight {
    public:
        Flight(Impl& impl, int socket) : impl_(impl), socket_(socket) { impl_.pictureStarted(*this); }
        ~Flight() { land(); }
        Flight(const Flight&) = delete;
        Flight& operator=(const Flight&) = delete;
        void land() { impl_.pictureFinished(*this); }

    private:
        friend Impl;
        Impl& impl_;
        const int socket_;    // open for as long as the flight is counted
        bool landed_ = false;  // under statsMu
    };

    StandinOptions opt;
    std::unique_ptr<loopback::Listener> listener;
    int boundPort = 0;
    std::string base;
    detail::SslCtxPtr tls;
    detail::PageSettings pageSettings;

    std::atomic<bool> stopping{false};
    std::mutex stopMu;
    std::condition_variable stopCv;

    mutable std::mutex statsMu;
    mutable std::condition_variable statsCv;
    std::set<std::string> busyAsked;  // busy pictures answered 429 once
    std::vector<RecordedRequest> records;
    std::size_t totalRequests = 0;
    std::map<std::string, int, std::less<>> hits;
    int pages = 0;
    int pictures = 0;
    std::set<Flight*> flying;
    int currentPictures = 0;  // flying.size()
    int maxPictures = 0;
    int rejected = 0;
    std::atomic<long long> pictureDelayMs{0};

    std::mutex cacheMu;
    std::map<std::string, detail::Bytes> cache;

    // Lifecycle (server.cpp).
    void start();
    // Turns a connection over the bound away with 503.
    void refuse(int fd);
    // Tells every handler to end; accepting has ended.
    void markStopping();
    // Sleeps unless the server stops first; false when it stopped.
    bool sleepUnlessStopped(std::chrono::milliseconds duration);

    // Requests (handlers.cpp).
    void serveConnection(int fd);
    After serveStream(detail::Stream& stream, int fd, bool viaTunnel);
    After connectTunnel(detail::Stream& plain, int fd, const detail::RequestHead& head);
    After dispatch(detail::Stream& stream, const detail::RequestHead& head,
                   std::string_view pathAndQuery, bool keepAlive);
    After serveJsonPage(detail::Stream& stream, const detail::RequestHead& head,
                        const detail::FlipRequest& request, bool headOnly, bool keepAlive);
    After servePicture(detail::Stream& stream, const PictureRequest& request, bool headOnly,
                       bool keepAlive, Flight& flight);
    After serveHuge(detail::Stream& stream, std::uint64_t length, bool headOnly, bool keepAlive,
                    Flight& flight);
    After serveTrickle(detail::Stream& stream, const PictureRequest& request, bool headOnly,
                       Flight& flight);
    void record(const detail::RequestHead& head, std::string_view pathAndQuery, bool viaTunnel);
    void pictureStarted(Flight& flight);
    void pictureFinished(Flight& flight);


    // Bodies (bodies.cpp).
    detail::Bytes encoded(detail::Format format, int id, int width, int height);
    detail::Bytes wholeJpeg(const PictureRequest& request);
    detail::Bytes pictureBody(const PictureRequest& request);
    std::string notFoundBody() const;
};

std::string HtmlBody(std::string_view title, std::string_view text);

}  // namespace lumigrab::standin
