// What the stand-in serves, as bytes: pictures by kind and id, and the
// public helpers that let tests predict those bytes.
#include <algorithm>

#include "tools/standin/server_impl.h"

namespace lumigrab::standin {
namespace {

struct KindName {
    PictureKind kind;
    std::string_view name;
};

constexpr KindName kKindNames[] = {
    {PictureKind::Jpeg, "jpeg"},       {PictureKind::Png, "png"},
    {PictureKind::Gif, "gif"},         {PictureKind::Html, "html"},
    {PictureKind::Truncated, "truncated"}, {PictureKind::Missing, "missing"},
    {PictureKind::Error, "error"},     {PictureKind::Stall, "stall"},
    {PictureKind::Reset, "reset"},     {PictureKind::Slow, "slow"},
    {PictureKind::Redirect, "redirect"}, {PictureKind::Huge, "huge"},
    {PictureKind::Trickle, "trickle"}, {PictureKind::Busy, "busy"},
};

constexpr std::size_t kCacheEntries = 512;
constexpr long long kMaxId = 999999999;

bool AllDigits(std::string_view s) {
    return !s.empty() && s.size() <= 18 &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<long long> NumberMember(std::string_view query, std::string_view name) {
    auto value = detail::QueryValue(query, name);
    if (!value || !AllDigits(*value)) return std::nullopt;
    return detail::LeadingNumber(*value, 1LL << 62);
}

std::pair<std::string_view, std::string_view> SplitTarget(std::string_view pathAndQuery) {
    const std::size_t q = pathAndQuery.find('?');
    if (q == std::string_view::npos) return {pathAndQuery, {}};
    return {pathAndQuery.substr(0, q), pathAndQuery.substr(q + 1)};
}

}  // namespace

std::string_view KindPathName(PictureKind kind) {
    for (const auto& k : kKindNames)
        if (k.kind == kind) return k.name;
    return "jpeg";
}

std::optional<PictureKind> KindFromPathName(std::string_view name) {
    for (const auto& k : kKindNames)
        if (k.name == name) return k.kind;
    return std::nullopt;
}

bool IsWholePicture(PictureKind kind) {
    return kind == PictureKind::Jpeg || kind == PictureKind::Png || kind == PictureKind::Gif ||
           kind == PictureKind::Slow;
}

std::vector<PictureKind> DefaultKindCycle() {
    using K = PictureKind;
    return {K::Jpeg, K::Png, K::Gif, K::Jpeg, K::Html, K::Png, K::Jpeg, K::Truncated, K::Gif,
            K::Missing};
}

std::string HtmlBody(std::string_view title, std::string_view text) {
    std::string body = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>";
    body += title;
    body += "</title></head><body><h1>";
    body += title;
    body += "</h1><p>";
    body += text;
    body += "</p></body></html>\n";
    return body;
}

std::optional<PictureRequest> ParsePicturePath(std::string_view path, std::string_view query) {
    PictureRequest r;
    if (path.starts_with("/pic/")) {
        path.remove_prefix(5);
    } else if (path.starts_with("/thumb/")) {
        path.remove_prefix(7);
        r.thumbnail = true;
    } else {
        return std::nullopt;
    }
    const std::size_t slash = path.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const auto kind = KindFromPathName(path.substr(0, slash));
    if (!kind) return std::nullopt;
    r.kind = *kind;
    std::string_view file = path.substr(slash + 1);
    const std::size_t dot = file.find('.');
    const std::string_view id = file.substr(0, dot);
    if (!AllDigits(id) || id.size() > 9) return std::nullopt;
    if (dot != std::string_view::npos) {
        const std::string_view ext = file.substr(dot + 1);
        if (ext.empty() || !std::all_of(ext.begin(), ext.end(), [](char c) {
                return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
            }))
            return std::nullopt;
    }
    r.id = static_cast<int>(std::min(detail::LeadingNumber(id, kMaxId), kMaxId));
    r.w = static_cast<int>(std::min<long long>(NumberMember(query, "w").value_or(0), kMaxPictureSide));
    r.h = static_cast<int>(std::min<long long>(NumberMember(query, "h").value_or(0), kMaxPictureSide));
    if (auto ms = NumberMember(query, "ms")) r.ms = std::min<long long>(*ms, 24LL * 3600 * 1000);
    if (auto bytes = NumberMember(query, "bytes"))
        r.bytes = std::min<std::uint64_t>(static_cast<std::uint64_t>(*bytes), kMaxHugeBytes);
    r.hop = NumberMember(query, "hop").value_or(0);
    return r;
}

detail::Bytes StandinServer::Impl::encoded(detail::Format format, int id, int width, int height) {
    const std::string key = std::to_string(static_cast<int>(format)) + ":" + std::to_string(id) +
                            ":" + std::to_string(width) + "x" + std::to_string(height);
    {
        std::lock_guard lock(cacheMu);
        if (auto it = cache.find(key); it != cache.end()) return it->second;
    }
    // Encoded outside the lock: two workers asking for different pictures
    // must not wait for each other, and a duplicate encode gives equal bytes.
    detail::Bytes bytes = detail::EncodePicture(format, id, width, height);
    std::lock_guard lock(cacheMu);
    if (cache.size() >= kCacheEntries) cache.clear();
    cache.emplace(key, bytes);
    return bytes;
}

namespace {

std::pair<int, int> SizeFor(const PictureRequest& r) {
    int w = r.w > 0 ? r.w : detail::NaturalWidth(r.id);
    int h = r.h > 0 ? r.h : detail::NaturalHeight(r.id);
    if (r.thumbnail) {
        w = detail::ThumbnailSide(w);
        h = detail::ThumbnailSide(h);
    }
    return {w, h};
}

}  // namespace

detail::Bytes StandinServer::Impl::wholeJpeg(const PictureRequest& r) {
    const auto [w, h] = SizeFor(r);
    return encoded(detail::Format::Jpeg, r.id, w, h);
}

detail::Bytes StandinServer::Impl::pictureBody(const PictureRequest& r) {
    const auto [w, h] = SizeFor(r);
    auto text = [](const std::string& s) { return detail::Bytes(s.begin(), s.end()); };
    switch (r.kind) {
        case PictureKind::Jpeg:
        case PictureKind::Slow:
        case PictureKind::Busy:
        case PictureKind::Trickle: return encoded(detail::Format::Jpeg, r.id, w, h);
        case PictureKind::Png: return encoded(detail::Format::Png, r.id, w, h);
        case PictureKind::Gif: return encoded(detail::Format::Gif, r.id, w, h);
        case PictureKind::Html:
            return text(HtmlBody("Picture " + std::to_string(r.id),
                                 "This picture can only be seen on its page."));
        case PictureKind::Truncated:
        case PictureKind::Reset: {
            detail::Bytes whole = wholeJpeg(r);
            whole.resize(whole.size() / 2);
            return whole;
        }
        case PictureKind::Missing: return text(notFoundBody());
        case PictureKind::Error:
            return text(HtmlBody("500 Internal Server Error", "The picture host failed."));
        case PictureKind::Stall:
        case PictureKind::Redirect:
        case PictureKind::Huge: return {};
    }
    return {};
}

std::string StandinServer::Impl::notFoundBody() const {
    return HtmlBody("404 Not Found", "Nothing here.");
}

std::string StandinServer::pictureUrl(PictureKind kind, int id, bool thumbnail, int w, int h) const {
    return impl_->base + detail::PicturePath(kind, id, thumbnail, w, h);
}

std::vector<PageElement> StandinServer::listing(std::string_view keywordUtf8, int pn, int width,
                                                int height) const {
    detail::FlipRequest request;
    request.keyword = std::string(keywordUtf8);
    request.pn = std::max(pn, 0);
    request.width = std::max(width, 0);
    request.height = std::max(height, 0);
    return detail::ListElements(impl_->pageSettings, request);
}

Bytes StandinServer::expectedBody(std::string_view pathAndQuery) const {
    if (pathAndQuery.starts_with(impl_->base)) pathAndQuery.remove_prefix(impl_->base.size());
    const auto [path, query] = SplitTarget(pathAndQuery);
    if (path == "/search/flip") {
        const auto page =
            detail::BuildFlipPage(impl_->pageSettings, detail::ParseFlipQuery(query));
        return page ? Bytes(page->begin(), page->end()) : Bytes{};
    }
    if (auto picture = ParsePicturePath(path, query)) return impl_->pictureBody(*picture);
    const std::string body = impl_->notFoundBody();
    return Bytes(body.begin(), body.end());
}

std::string StandinServer::FlipPathAndQuery(std::string_view keywordUtf8, int pn,
                                            std::string_view width, std::string_view height) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string word;
    for (char c : keywordUtf8) {
        const auto b = static_cast<unsigned char>(c);
        word += '%';
        word += kHex[b >> 4];
        word += kHex[b & 15];
    }
    std::string out = "/search/flip?tn=baiduimage&ie=utf-8&word=" + word;
    out += "&pn=" + std::to_string(pn) + "&gsm=0&ct=&ic=0&lm=-1&width=";
    out += width;
    out += "&height=";
    out += height;
    return out;
}

}  // namespace lumigrab::standin
