#pragma once
// Easy handles kept between HttpRequest calls, so that a run of requests to
// one host, made from short-lived worker threads, goes over the connection the
// previous request left open instead of a new one each time.
//
// Each handle keeps its own connection cache and is used by one thread at a
// time; a borrower prefers the handle that last talked to the same origin.
// The pool is bounded in handles (hence in idle connections) and in age.
#include <string>
#include <string_view>

#include "net/http_connection.h"

namespace lumigrab {

// What makes an idle handle a good pick for `url`: its scheme, host and port,
// and the proxy it goes through.
std::string CurlPoolKey(std::string_view url, std::string_view proxyAddress);

// A handle borrowed for one request, given back when the lease ends.
class PooledCurlHandle {
public:
    explicit PooledCurlHandle(std::string key);
    ~PooledCurlHandle();
    PooledCurlHandle(const PooledCurlHandle&) = delete;
    PooledCurlHandle& operator=(const PooledCurlHandle&) = delete;

    // Null when libcurl could not make a handle.
    CURL* get() const { return handle_.get(); }

private:
    CurlEasy handle_;
    std::string key_;
};

}  // namespace lumigrab
