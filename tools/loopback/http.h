#pragma once
// The HTTP/1.1 subset the loopback servers speak: request heads in, bytes
// out, over a plain socket or (in the stand-in) a TLS session.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/file_io.h"

namespace lumigrab::loopback {

using lumigrab::UniqueFd;  // the program's own descriptor owner

class Stream {
public:
    virtual ~Stream() = default;
    // > 0 bytes read, 0 at end of stream, < 0 on error or time-out.
    virtual long readSome(char* buffer, std::size_t size) = 0;
    virtual bool writeAll(std::string_view data) = 0;
    // The connection's socket, for waiting on it; -1 when there is none.
    virtual int socket() const { return -1; }
};

class PlainStream : public Stream {
public:
    explicit PlainStream(int fd) : fd_(fd) {}
    long readSome(char* buffer, std::size_t size) override;
    bool writeAll(std::string_view data) override;
    int socket() const override { return fd_; }

private:
    int fd_;
};

struct RequestHead {
    std::string method;
    std::string target;
    std::string version;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string raw;
    // Case-insensitive name; the first one wins.
    std::optional<std::string> header(std::string_view name) const;
    bool keepAlive() const;
};

// Parses "METHOD SP target SP HTTP/x.y CRLF (name: value CRLF)*" without the
// blank line; nullopt when malformed.
std::optional<RequestHead> ParseRequestHead(std::string_view head);

enum class ReadStatus { Ok, Closed, TooLarge, Malformed };

// Reads one request head. `pending` carries bytes already read past the
// previous request; it never grows beyond maxBytes + one read.
ReadStatus ReadRequestHead(Stream& stream, std::string& pending, std::size_t maxBytes,
                           RequestHead& out);

// Reads and drops `length` body bytes (some may already be in `pending`).
bool DiscardBody(Stream& stream, std::string& pending, std::uint64_t length);

bool EqualsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace lumigrab::loopback
