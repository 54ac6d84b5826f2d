#pragma once
// TLS for the CONNECT tunnel: a throwaway self-signed certificate made in
// memory at start, and socket I/O that never raises SIGPIPE.
#include <memory>

#include <openssl/ssl.h>

namespace lumigrab::standin::detail {

struct SslCtxFree {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;

// A server context holding a fresh P-256 key and a certificate for
// image.baidu.com signed by that key. Throws std::runtime_error on failure.
SslCtxPtr MakeSelfSignedServerContext();

// A server-side SSL on the socket whose writes use MSG_NOSIGNAL; nullptr on
// failure. The socket stays owned by the caller.
SslPtr NewServerSsl(SSL_CTX* ctx, int fd);

}  // namespace lumigrab::standin::detail
