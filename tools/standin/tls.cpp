#include "tools/standin/tls.h"

#include "tools/standin/http.h"

#include <cerrno>
#include <cstdint>
#include <stdexcept>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sys/socket.h>

namespace lumigrab::standin::detail {
namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};

int FdOf(BIO* bio) { return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio))); }

// The default socket BIO writes with write(2): a peer that hangs up mid-body
// would kill the whole test process with SIGPIPE.
int BioWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    for (;;) {
        const ssize_t n = ::send(FdOf(bio), data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? -1 : static_cast<int>(n);
    }
}

int BioRead(BIO* bio, char* data, int length) {
    BIO_clear_retry_flags(bio);
    for (;;) {
        const ssize_t n = ::recv(FdOf(bio), data, static_cast<std::size_t>(length), 0);
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? -1 : static_cast<int>(n);
    }
}

long BioCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

// Made once and kept for the life of the process, as OpenSSL's own methods are.
const BIO_METHOD* NoSignalMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "standin-socket");
        if (m) {
            BIO_meth_set_write(m, BioWrite);
            BIO_meth_set_read(m, BioRead);
            BIO_meth_set_ctrl(m, BioCtrl);
            BIO_meth_set_create(m, BioCreate);
        }
        return m;
    }();
    return method;
}

class SessionStream : public loopback::Stream {
public:
    explicit SessionStream(SslPtr ssl) : ssl_(std::move(ssl)), io_(ssl_.get()) {}
    ~SessionStream() override { SSL_shutdown(ssl_.get()); }
    long readSome(char* buffer, std::size_t size) override { return io_.readSome(buffer, size); }
    bool writeAll(std::string_view data) override { return io_.writeAll(data); }
    int socket() const override { return io_.socket(); }

private:
    SslPtr ssl_;
    TlsStream io_;
};

}  // namespace

SslCtxPtr MakeSelfSignedServerContext() {
    std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_EC_gen("P-256"));
    if (!key) throw std::runtime_error("key generation failed");
    std::unique_ptr<X509, X509Free> cert(X509_new());
    if (!cert) throw std::runtime_error("certificate allocation failed");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7L * 24 * 3600);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("image.baidu.com"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key.get());
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0)
        throw std::runtime_error("certificate signing failed");

    SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
    if (!ctx || SSL_CTX_use_certificate(ctx.get(), cert.get()) != 1 ||
        SSL_CTX_use_PrivateKey(ctx.get(), key.get()) != 1)
        throw std::runtime_error("TLS context setup failed");
    return ctx;
}

SslPtr NewServerSsl(SSL_CTX* ctx, int fd) {
    const BIO_METHOD* method = NoSignalMethod();
    if (!method) return nullptr;
    SslPtr ssl(SSL_new(ctx));
    if (!ssl) return nullptr;
    BIO* bio = BIO_new(method);
    if (!bio) return nullptr;
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    SSL_set_bio(ssl.get(), bio, bio);  // one reference, now the SSL's
    SSL_set_accept_state(ssl.get());
    return ssl;
}

std::unique_ptr<loopback::Stream> AcceptTlsStream(SSL_CTX* ctx, int fd) {
    SslPtr ssl = NewServerSsl(ctx, fd);
    if (!ssl || SSL_accept(ssl.get()) != 1) return nullptr;
    return std::make_unique<SessionStream>(std::move(ssl));
}

}  // namespace lumigrab::standin::detail
