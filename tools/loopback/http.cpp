#include "tools/loopback/http.h"

#include <algorithm>
#include <cerrno>

#include <sys/socket.h>
#include <unistd.h>

namespace lumigrab::loopback {

long PlainStream::readSome(char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::recv(fd_, buffer, size, 0);
        if (n < 0 && errno == EINTR) continue;
        return static_cast<long>(n);
    }
}

bool PlainStream::writeAll(std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::optional<std::string> RequestHead::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (EqualsIgnoreCase(key, name)) return value;
    return std::nullopt;
}

bool RequestHead::keepAlive() const {
    const std::string connection = header("Connection").value_or("");
    if (version == "HTTP/1.0") return EqualsIgnoreCase(connection, "keep-alive");
    return !EqualsIgnoreCase(connection, "close");
}

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool IsToken(std::string_view s) {
    if (s.empty()) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return c > ' ' && c < 0x7F && c != ':' && c != '(' && c != ')' && c != ',' && c != '"';
    });
}

}  // namespace

std::optional<RequestHead> ParseRequestHead(std::string_view head) {
    RequestHead out;
    std::size_t lineEnd = head.find("\r\n");
    const std::string_view requestLine = head.substr(0, lineEnd);
    const std::size_t sp1 = requestLine.find(' ');
    const std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : requestLine.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || requestLine.find(' ', sp2 + 1) != std::string_view::npos)
        return std::nullopt;
    out.method = requestLine.substr(0, sp1);
    out.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    out.version = requestLine.substr(sp2 + 1);
    if (!IsToken(out.method) || out.target.empty() ||
        (out.version != "HTTP/1.1" && out.version != "HTTP/1.0"))
        return std::nullopt;
    while (lineEnd != std::string_view::npos) {
        const std::size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string_view line = head.substr(start, lineEnd == std::string_view::npos
                                                             ? std::string_view::npos
                                                             : lineEnd - start);
        if (line.empty()) continue;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || !IsToken(line.substr(0, colon)))
            return std::nullopt;
        out.headers.emplace_back(std::string(line.substr(0, colon)),
                                 std::string(Trim(line.substr(colon + 1))));
    }
    return out;
}

ReadStatus ReadRequestHead(Stream& stream, std::string& pending, std::size_t maxBytes,
                           RequestHead& out) {
    std::size_t searched = 0;
    for (;;) {
        const std::size_t end = pending.find("\r\n\r\n", searched);
        if (end != std::string::npos) {
            if (end + 4 > maxBytes) return ReadStatus::TooLarge;
            auto parsed = ParseRequestHead(std::string_view(pending).substr(0, end));
            if (!parsed) return ReadStatus::Malformed;
            parsed->raw = pending.substr(0, end + 4);
            pending.erase(0, end + 4);
            out = std::move(*parsed);
            return ReadStatus::Ok;
        }
        if (pending.size() >= maxBytes) return ReadStatus::TooLarge;
        searched = pending.size() >= 3 ? pending.size() - 3 : 0;
        char buffer[4096];
        const long n = stream.readSome(buffer, sizeof buffer);
        if (n <= 0) return ReadStatus::Closed;
        pending.append(buffer, static_cast<std::size_t>(n));
    }
}

bool DiscardBody(Stream& stream, std::string& pending, std::uint64_t length) {
    const std::uint64_t fromPending = std::min<std::uint64_t>(length, pending.size());
    pending.erase(0, static_cast<std::size_t>(fromPending));
    length -= fromPending;
    char buffer[16384];
    while (length > 0) {
        const long n = stream.readSome(buffer, static_cast<std::size_t>(
                                                   std::min<std::uint64_t>(length, sizeof buffer)));
        if (n <= 0) return false;
        length -= static_cast<std::uint64_t>(n);
    }
    return true;
}

}  // namespace lumigrab::loopback
