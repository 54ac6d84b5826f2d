#pragma once
// A request object a caller may keep and pass to several HttpRequest calls:
// one libcurl easy handle whose connection cache survives between calls, so
// repeated requests to one host reuse the open connection. Options never leak
// from one call into the next (each call starts from a reset handle).
// Calls on one object from several threads are serialised, not interleaved.
#include <curl/curl.h>

#include <cstddef>
#include <memory>
#include <mutex>

namespace lumigrab {

// libcurl's process-wide set-up, done once whichever thread gets here first.
// It also has glibc map every block of at least kMappedBlockBytes on its own
// (see there), which the body storage counts on.
void EnsureCurlInitialised();
inline constexpr std::size_t kMappedBlockBytes = std::size_t{1} << 20;

struct CurlEasyDeleter {
    void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlListDeleter {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using CurlList = std::unique_ptr<curl_slist, CurlListDeleter>;

// A new easy handle (null when libcurl cannot make one) that looks names up
// in a cache shared by every handle of the process. Connections and TLS
// sessions stay with each handle: libcurl does not support one connection
// cache used from several threads at once, and OpenSSL reads a resumed
// session's certificate stack outside libcurl's share lock (ThreadSanitizer
// caught one thread copying it while another freed it). Pooled handles are
// reused per host, so their own sessions still resume.
CurlEasy NewCurlHandle();

class HttpConnection {
public:
    HttpConnection();
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    // False when libcurl could not make a handle; requests through such an
    // object fail as if no request object could be created.
    bool valid() const { return handle_ != nullptr; }

    // For HttpRequest: the handle, held exclusively while the lock lives.
    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(busy_); }
    CURL* handle() const { return handle_.get(); }

private:
    CurlEasy handle_;
    std::mutex busy_;
};

}  // namespace lumigrab
