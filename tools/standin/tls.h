#pragma once
// TLS for the CONNECT tunnel and for loopback servers that speak HTTPS
// directly: a throwaway self-signed certificate made in memory at start, and
// socket I/O that never raises SIGPIPE.
#include <memory>

#include <openssl/ssl.h>

#include "tools/loopback/http.h"

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

// The server side of a TLS session on an accepted socket, as a stream, once
// the client's handshake has succeeded; nullptr when it fails. The stream owns
// the session and sends the close notice when it goes; the socket stays the
// caller's.
std::unique_ptr<loopback::Stream> AcceptTlsStream(SSL_CTX* ctx, int fd);

}  // namespace lumigrab::standin::detail
