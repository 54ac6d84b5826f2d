#pragma once
// The stand-in's side of HTTP: the loopback servers' shared core, a TLS
// session as a stream, and the response heads the stand-in sends.
#include <cstdint>
#include <string>
#include <string_view>

#include <openssl/ssl.h>

#include "tools/loopback/http.h"

namespace lumigrab::standin::detail {

using namespace lumigrab::loopback;

class TlsStream : public Stream {
public:
    explicit TlsStream(SSL* ssl) : ssl_(ssl) {}
    long readSome(char* buffer, std::size_t size) override;
    bool writeAll(std::string_view data) override;
    int socket() const override;

private:
    SSL* ssl_;
};


std::string ResponseHead(int status, std::string_view contentType, std::uint64_t contentLength,
                         bool keepAlive, std::string_view extraHeaders = {});
std::string_view ReasonPhrase(int status);


}  // namespace lumigrab::standin::detail
