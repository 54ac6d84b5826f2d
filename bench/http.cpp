// Requests per second for small GETs on loopback: HttpRequest as the program
// calls it (pooled handles, from one thread and from several at once, as
// download workers call it), HttpRequest over a kept request object, and
// bare libcurl loops (a fresh easy handle per request, which is what
// HttpRequest did before it pooled handles, and one reused handle). Each line
// gives its best round as a ratio to the fresh-handle loop of the same run,
// and how many connections the server accepted for it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>

#include "net/http_connection.h"
#include "net/http_request.h"

namespace {

constexpr int kRequests = 1000;
constexpr int kRounds = 3;
constexpr std::size_t kBodySize = 20 * 1024;
constexpr int kWorkerThreads = 5;

// A single-threaded keep-alive server that answers every request head with
// the same 20 KB body. Bench only: no request bodies, no limits beyond its life.
class BenchServer {
public:
    BenchServer() : reply_("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kBodySize) + "\r\n\r\n" +
                           std::string(kBodySize, 'b')) {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int yes = 1;
        ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listenFd_, 256) != 0 ||
            ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            std::perror("bench server");
            std::exit(1);
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { run(); });
    }

    ~BenchServer() {
        stop_ = true;
        thread_.join();
        for (const auto& [fd, pending] : clients_) ::close(fd);
        ::close(listenFd_);
    }

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/bench"; }
    int accepted() const { return accepted_.load(); }

private:
    void run() {
        char chunk[8192];
        while (!stop_) {
            std::vector<pollfd> fds{{listenFd_, POLLIN, 0}};
            for (const auto& [fd, pending] : clients_) fds.push_back({fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
            if (fds[0].revents & POLLIN) {
                const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    clients_[fd];
                    ++accepted_;
                }
            }
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                const int fd = fds[i].fd;
                const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
                if (got <= 0) {
                    ::close(fd);
                    clients_.erase(fd);
                    continue;
                }
                std::string& pending = clients_[fd];
                pending.append(chunk, static_cast<std::size_t>(got));
                std::size_t end;
                while ((end = pending.find("\r\n\r\n")) != std::string::npos) {
                    pending.erase(0, end + 4);
                    ::send(fd, reply_.data(), reply_.size(), MSG_NOSIGNAL);
                }
            }
        }
    }

    std::string reply_;
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::map<int, std::string> clients_;
    std::thread thread_;
};

size_t Collect(char* data, size_t size, size_t count, void* user) {
    auto* body = static_cast<std::vector<std::uint8_t>*>(user);
    body->insert(body->end(), data, data + size * count);
    return size * count;
}

// The options a plain libcurl caller would set for the same exchange.
bool BareGet(CURL* curl, const std::string& url, curl_slist* headers) {
    std::vector<std::uint8_t> body;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    return curl_easy_perform(curl) == CURLE_OK && body.size() == kBodySize;
}

struct Figure {
    double best = 0;  // requests per second, best round
    int connections = 0;
};

// One figure per round: on a shared machine a single round says little.
// `one` is called kRequests times per round, shared among `threads` threads
// running at once.
Figure Measure(const char* label, const BenchServer& server, int threads, const std::function<bool()>& one) {
    Figure figure;
    const int acceptedBefore = server.accepted();
    for (int round = 1; round <= kRounds; ++round) {
        std::atomic<int> failures{0};
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                for (int i = t; i < kRequests; i += threads) {
                    if (!one()) ++failures;
                }
            });
        }
        for (auto& worker : workers) worker.join();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        figure.best = std::max(figure.best, kRequests / seconds);
        std::printf("%-46s round %d: %8.0f requests/s  (%.3f s, %d failed)\n", label, round, kRequests / seconds,
                    seconds, failures.load());
    }
    figure.connections = server.accepted() - acceptedBefore;
    return figure;
}

}  // namespace

int main() {
    using namespace lumigrab;
    EnsureCurlInitialised();
    BenchServer server;
    const std::string url = server.url();
    std::printf("%d GETs of a %zu-byte body on 127.0.0.1, %d rounds each\n", kRequests, kBodySize, kRounds);

    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Accept: */*");
    headers = curl_slist_append(headers, "Accept-Language: zh-cn");
    std::vector<std::pair<const char*, Figure>> figures;
    const auto run = [&](const char* label, int threads, const std::function<bool()>& one) {
        figures.emplace_back(label, Measure(label, server, threads, one));
    };

    run("bare libcurl, easy handle per request", 1, [&] {
        CURL* curl = curl_easy_init();
        const bool ok = curl != nullptr && BareGet(curl, url, headers);
        curl_easy_cleanup(curl);
        return ok;
    });
    CURL* reused = curl_easy_init();
    run("bare libcurl, one reused easy handle", 1, [&] { return BareGet(reused, url, headers); });
    curl_easy_cleanup(reused);

    run("HttpRequest, pooled handles", 1, [&] { return HttpRequest(url).size() == kBodySize; });
    run("HttpRequest, pooled handles, 5 threads", kWorkerThreads,
        [&] { return HttpRequest(url).size() == kBodySize; });
    HttpConnection kept;
    HttpOptions reuse;
    reuse.requestObject = &kept;
    run("HttpRequest, one kept HttpConnection", 1, [&] { return HttpRequest(url, reuse).size() == kBodySize; });
    curl_slist_free_all(headers);

    const double reference = figures.front().second.best;
    std::printf("\nbest round against the fresh-handle loop (connections accepted over %d rounds):\n", kRounds);
    for (const auto& [label, figure] : figures) {
        std::printf("%-46s %8.0f requests/s  x%.2f  (%d connections)\n", label, figure.best, figure.best / reference,
                    figure.connections);
    }
    return 0;
}
