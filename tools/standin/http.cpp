#include "tools/standin/http.h"

#include <algorithm>

namespace lumigrab::standin::detail {

long TlsStream::readSome(char* buffer, std::size_t size) {
    const int n = SSL_read(ssl_, buffer, static_cast<int>(std::min<std::size_t>(size, 1 << 30)));
    if (n > 0) return n;
    return SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
}

int TlsStream::socket() const { return SSL_get_fd(ssl_); }

bool TlsStream::writeAll(std::string_view data) {
    while (!data.empty()) {
        const int chunk = static_cast<int>(std::min<std::size_t>(data.size(), 1 << 20));
        const int n = SSL_write(ssl_, data.data(), chunk);
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}


std::string_view ReasonPhrase(int status) {
    switch (status) {
        case 200: return "OK";
        case 302: return "Found";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 413: return "Payload Too Large";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Unknown";
    }
}

std::string ResponseHead(int status, std::string_view contentType, std::uint64_t contentLength,
                         bool keepAlive, std::string_view extraHeaders) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " ";
    head += ReasonPhrase(status);
    head += "\r\nServer: lumigrab-standin\r\n";
    if (!contentType.empty()) {
        head += "Content-Type: ";
        head += contentType;
        head += "\r\n";
    }
    head += "Content-Length: " + std::to_string(contentLength) + "\r\n";
    head += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    head += extraHeaders;
    head += "\r\n";
    return head;
}

}  // namespace lumigrab::standin::detail
