#include "tools/standin/page.h"

#include <algorithm>
#include <cstdio>

#include "tools/standin/pictures.h"

namespace lumigrab::standin::detail {
namespace {

constexpr std::string_view kMarker = "\"isNeedAsyncRequest\":0,\"data\":";
constexpr std::string_view kNoMarker = "\"isNeedAsyncRequest\":1,\"datas\":";

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void AppendUnicodeEscape(std::string& out, unsigned code) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", code & 0xFFFFu);
    out += buf;
}

std::string_view ExtensionOf(PictureKind kind) {
    switch (kind) {
        case PictureKind::Png: return "png";
        case PictureKind::Gif: return "gif";
        default: return "jpg";
    }
}

std::string_view TypeMemberOf(PictureKind kind) { return ExtensionOf(kind); }

std::string Js(std::string_view text) { return JsString(text); }

// One element in the service's style. Members the program does not read are
// there so that a parser which cuts by text instead of reading the structure
// trips over them (replaceUrl carries "ObjURL", for one).
void AppendElement(std::string& out, const PageElement& e, const std::string& keywordJs,
                   const std::string& base) {
    const std::string thumb = Js(e.thumbURL);
    const std::string from = Js("http://www.example.com/gallery/" + std::to_string(e.index) + ".html");
    const std::string title = "<strong>" + keywordJs + "<\\/strong>的图片 第" +
                              std::to_string(e.index + 1) + "张 - Lumi\\'s gallery";
    const std::string plainTitle =
        keywordJs + "的图片 第" + std::to_string(e.index + 1) + "张 - Lumi\\'s gallery";
    out += "{\"adType\":\"0\",\"hasAspData\":\"0\",\"thumbURL\":\"" + thumb + "\"";
    out += ",\"commodityInfos\":null,\"isCommodity\":0,\"middleURL\":\"" + thumb + "\"";
    out += ",\"shituToken\":\"st" + std::to_string(e.index * 7919 % 100000) + "\"";
    out += ",\"largeTnImageUrl\":\"\",\"hasLarge\" :0,\"hoverURL\":\"" + thumb + "\"";
    out += ",\"pageNum\":" + std::to_string(e.index);
    switch (e.objUrlForm) {
        case PageElement::ObjUrl::Present: out += ",\"objURL\":\"" + Js(e.objURL) + "\""; break;
        case PageElement::ObjUrl::Null: out += ",\"objURL\":null"; break;
        case PageElement::ObjUrl::Absent: break;
    }
    out += ",\"fromURL\":\"" + from + "\",\"fromURLHost\":\"http:\\/\\/www.example.com\"";
    out += ",\"currentIndex\":\"\"";
    if (e.hasWidth) out += ",\"width\":" + std::to_string(e.width);
    out += ",\"height\" : " + std::to_string(e.height);
    out += ",\"type\":\"";
    out += TypeMemberOf(e.kind);
    out += "\",\"is_gif\":";
    out += e.kind == PictureKind::Gif ? "1" : "0";
    out += ",\"isCopyright\":0,\"resourceInfo\":null,\"strategyAssessment\":\"";
    out += std::to_string(2116437766u + static_cast<unsigned>(e.index)) + "_0_0_0\"";
    out += ",\"filesize\":\"\",\"bdSrcType\":\"0\",\"di\":\"" +
           std::to_string(7185000000LL + e.index * 131LL) + "\",\"pi\":\"0\",\"is\":\"0,0\"";
    out += ",\"imgCollectionWord\":\"\",\"replaceUrl\":[{\"ObjURL\":\"" +
           Js(base + "/pic/replaced/" + std::to_string(e.index) + ".jpg") +
           "\",\"ObjUrl\":\"\",\"FromURL\":\"" + from + "\",\"FromUrl\":\"\"}]";
    out += ",\"hasThumbData\":\"0\",\"bdSetImgNum\":0,\"partnerId\":0,\"spn\":0";
    out += ",\"bdImgnewsDate\":\"2019-05-22 15:40\",\"fromPageTitle\":\"" + title + "\"";
    out += ",\"fromPageTitleEnc\":\"" + plainTitle + "\"";
    out += ",\"bdSourceName\":\"\",\"bdFromPageTitlePrefix\":\"\",\"isAspDianjing\":0";
    out += ",\"token\":\"\",\"imgType\":\"\",\"cs\":\"" + std::to_string(1000000 + e.index) +
           "," + std::to_string(2000000 - e.index) + "\"";
    out += ",\"os\":\"" + std::to_string(3000000 + e.index) + ",1\",\"simid\":\"" +
           std::to_string(4000000 + e.index) + ",5\",\"personalized\":\"0\"";
    out += ",\"simid_info\":null,\"face_info\":null,\"xiangshi_info\":null";
    out += ",\"adPicId\":\"0\",\"source_type\":\"\"}";
}

void AppendHead(std::string& out, const FlipRequest& request, const std::string& keywordJs,
                int total) {
    const std::string html = HtmlEscape(request.keyword);
    out += "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>";
    out += html + "_百度图片搜索</title>\n<script>\n";
    out += "window.bd = window.bd || {};\n";
    out += "bd.ready = function(f){ f(); };\n";
    out += "bd.ready(function(){ bd.query = \"" + keywordJs + "\"; bd.pn = " +
           std::to_string(request.pn) + "; });\n";
    out += "</script>\n</head>\n<body>\n<div id=\"wrapper\"><div class=\"imgpage\" "
           "data-query=\"" + html + "\"></div></div>\n<script>\n";
    out += "app.setData('imgData', {\"queryEnc\":\"" + keywordJs + "\",\"queryExt\":\"" +
           keywordJs + "\",\"listNum\":" + std::to_string(total) + ",\"displayNum\":" +
           std::to_string(total) + ",\"gsm\":\"" + std::to_string(request.pn + kPageSize) +
           "\",\"bdFmtDispNum\":\"约" + std::to_string(total) + "\",\"bdSearchTime\":\"\",";
}

void AppendTail(std::string& out) {
    out += "});\napp.setData('tabData', {\"tabs\":[{\"name\":\"图片\",\"url\":\"\\/search\\/index\"}]});\n";
    out += "</script>\n</body>\n</html>\n";
}

}  // namespace

std::string PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
                   HexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::string SanitizeUtf8(std::string_view text) {
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b0 = static_cast<unsigned char>(text[i]);
        int len = 0;
        unsigned code = 0, min = 0;
        if (b0 < 0x80) {
            out += static_cast<char>(b0);
            ++i;
            continue;
        } else if ((b0 & 0xE0) == 0xC0) {
            len = 2, code = b0 & 0x1F, min = 0x80;
        } else if ((b0 & 0xF0) == 0xE0) {
            len = 3, code = b0 & 0x0F, min = 0x800;
        } else if ((b0 & 0xF8) == 0xF0) {
            len = 4, code = b0 & 0x07, min = 0x10000;
        }
        bool ok = len > 0 && i + static_cast<std::size_t>(len) <= text.size();
        for (int k = 1; ok && k < len; ++k) {
            const auto b = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if ((b & 0xC0) != 0x80) ok = false;
            code = (code << 6) | (b & 0x3F);
        }
        if (ok && (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))) ok = false;
        if (ok) {
            out.append(text.substr(i, static_cast<std::size_t>(len)));
            i += static_cast<std::size_t>(len);
        } else {
            out += kReplacement;
            ++i;
        }
    }
    return out;
}

std::string JsString(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() + 8);
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '/': out += "\\/"; break;
            case '\'': out += "\\'"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case ';':
            case '<':
            case '>': AppendUnicodeEscape(out, c); break;
            default:
                if (c < 0x20) {
                    AppendUnicodeEscape(out, c);
                } else if (c == 0xE2 && i + 2 < utf8.size() &&
                           static_cast<unsigned char>(utf8[i + 1]) == 0x80 &&
                           (static_cast<unsigned char>(utf8[i + 2]) == 0xA8 ||
                            static_cast<unsigned char>(utf8[i + 2]) == 0xA9)) {
                    // U+2028 and U+2029 end a line inside older script engines.
                    AppendUnicodeEscape(out, 0x2000u | (static_cast<unsigned char>(utf8[i + 2]) - 0x80u));
                    i += 2;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

std::string HtmlEscape(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (char c : utf8) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::optional<std::string> QueryValue(std::string_view query, std::string_view name) {
    std::size_t pos = 0;
    while (pos <= query.size()) {
        std::size_t end = query.find('&', pos);
        if (end == std::string_view::npos) end = query.size();
        const std::string_view pair = query.substr(pos, end - pos);
        const std::size_t eq = pair.find('=');
        const std::string_view key = pair.substr(0, eq);
        if (key == name)
            return std::string(eq == std::string_view::npos ? std::string_view{} : pair.substr(eq + 1));
        pos = end + 1;
    }
    return std::nullopt;
}

long long LeadingNumber(std::string_view text, long long cap) {
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = std::min(cap, value * 10 + (c - '0'));
    }
    return value;
}

FlipRequest ParseFlipQuery(std::string_view query) {
    FlipRequest r;
    r.keyword = SanitizeUtf8(PercentDecode(QueryValue(query, "word").value_or("")));
    r.pn = static_cast<int>(LeadingNumber(QueryValue(query, "pn").value_or(""), kMaxTotal));
    r.width = static_cast<int>(LeadingNumber(QueryValue(query, "width").value_or(""), 1000000000));
    r.height = static_cast<int>(LeadingNumber(QueryValue(query, "height").value_or(""), 1000000000));
    return r;
}

KeywordMode ModeForKeyword(std::string_view keyword, int defaultTotal) {
    KeywordMode mode{Special::None, std::clamp(defaultTotal, 0, kMaxTotal)};
    static constexpr std::pair<std::string_view, Special> kSpecials[] = {
        {"standin-nomarker", Special::NoMarker},   {"standin-truncated", Special::Truncated},
        {"standin-cutoff", Special::Cutoff},       {"standin-empty", Special::Empty},
        {"standin-emptyarray", Special::EmptyArray}, {"standin-garbage", Special::Garbage},
        {"standin-duplicates", Special::Duplicates}, {"standin-stall", Special::Stall},
        {"standin-refused", Special::Refused},     {"standin-gone", Special::Gone},
        {"standin-gone-verify", Special::GoneVerify}, {"standin-gone-antiflag", Special::GoneAntiFlag},
        {"standin-403", Special::Forbidden},
        {"standin-429", Special::TooMany},
    };
    for (const auto& [name, special] : kSpecials)
        if (keyword == name) mode.special = special;
    constexpr std::string_view kTotal = "standin-total-";
    if (keyword.starts_with(kTotal)) {
        const std::string_view digits = keyword.substr(kTotal.size());
        if (!digits.empty() && digits.size() <= 6 &&
            std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            mode.total = static_cast<int>(LeadingNumber(digits, kMaxTotal));
    }
    constexpr std::string_view kAllPages = "standin-all-pages-";
    if (keyword.starts_with(kAllPages)) {
        const std::string_view digits = keyword.substr(kAllPages.size());
        if (!digits.empty() && digits.size() <= 4 &&
            std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            mode.pagesAtOnce = std::max(1, static_cast<int>(LeadingNumber(digits, 1000)));
            mode.total = (mode.pagesAtOnce - 1) * 20 + kPageSize;
        }
    }
    return mode;
}

std::string PicturePath(PictureKind kind, int id, bool thumbnail, int w, int h) {
    std::string path = thumbnail ? "/thumb/" : "/pic/";
    path += KindPathName(kind);
    path += '/';
    path += std::to_string(id);
    path += '.';
    path += ExtensionOf(kind);
    std::string query;
    if (w > 0) query += "w=" + std::to_string(w);
    if (h > 0) query += (query.empty() ? "h=" : "&h=") + std::to_string(h);
    if (!query.empty()) path += "?" + query;
    return path;
}

std::vector<PageElement> ListElements(const PageSettings& settings, const FlipRequest& request) {
    const KeywordMode mode = ModeForKeyword(request.keyword, settings.defaultTotal);
    if (mode.special != Special::None && mode.special != Special::Duplicates && mode.special != Special::Gone)
        return {};
    const bool duplicates = mode.special == Special::Duplicates;
    std::vector<PageElement> out;
    const auto add = [&](int i) {
        PageElement e;
        e.index = i;
        const int id = duplicates ? 0 : i;
        const std::size_t slot = duplicates ? 0 : static_cast<std::size_t>(i);
        e.kind = settings.kindCycle.empty()
                     ? PictureKind::Jpeg
                     : settings.kindCycle[slot % settings.kindCycle.size()];
        e.width = request.width > 0 ? request.width : NaturalWidth(id);
        e.height = request.height > 0 ? request.height : NaturalHeight(id);
        e.objURL = settings.base + PicturePath(e.kind, id, false, request.width, request.height);
        e.thumbURL = settings.base + PicturePath(e.kind, id, true, request.width, request.height);
        if (settings.elementVariants && !duplicates) {
            if (i % 25 == 11) e.objUrlForm = PageElement::ObjUrl::Null;
            if (i % 25 == 17) e.objUrlForm = PageElement::ObjUrl::Absent;
            if (i % 25 == 23) e.hasWidth = false;
            if (e.objUrlForm != PageElement::ObjUrl::Present) e.objURL.clear();
        }
        out.push_back(std::move(e));
    };
    if (mode.pagesAtOnce > 0) {
        if (request.pn == 0)
            for (int page = 0; page < mode.pagesAtOnce; ++page)
                for (int i = page * 20; i < page * 20 + kPageSize; ++i) add(i);
        return out;
    }
    const int first = std::clamp(request.pn, 0, kMaxTotal);
    const int last = std::min(first + kPageSize, mode.total);
    for (int i = first; i < last; ++i) add(i);
    return out;
}

std::optional<std::string> BuildFlipPage(const PageSettings& settings, const FlipRequest& request) {
    const KeywordMode mode = ModeForKeyword(request.keyword, settings.defaultTotal);
    if (mode.special == Special::Stall) return std::nullopt;
    if (mode.special == Special::Empty) return std::string();
    if (mode.special == Special::Refused)
        return "<html><head><title>302 Found</title></head><body>Moved.</body></html>\n";
    const std::string keywordJs = JsString(request.keyword);
    std::string out;
    AppendHead(out, request, keywordJs, mode.total);
    out += mode.special == Special::NoMarker ? kNoMarker : kMarker;
    switch (mode.special) {
        case Special::EmptyArray: out += "[]"; break;
        case Special::Garbage: out += "[1,2].map(function(){while(1){}})"; break;
        case Special::Truncated:
        case Special::Cutoff: {
            FlipRequest plain = request;
            plain.keyword = "standin";
            const auto elements = ListElements(settings, plain);
            std::string first, second;
            if (elements.size() > 0) AppendElement(first, elements[0], keywordJs, settings.base);
            if (elements.size() > 1) AppendElement(second, elements[1], keywordJs, settings.base);
            out += "[" + first + ",";
            out += second.substr(0, second.size() / 2);
            if (mode.special == Special::Cutoff) return out;
            break;
        }
        default: {
            out += '[';
            for (const PageElement& e : ListElements(settings, request)) {
                AppendElement(out, e, keywordJs, settings.base);
                out += ',';
            }
            out += "{}]";
        }
    }
    AppendTail(out);
    return out;
}

std::string CipherAddress(std::string_view clear) {
    static constexpr std::string_view kClear = "abcdefghijklmnopqrstuvw1234567890";
    static constexpr std::string_view kCiphered = "wkv1ju2it3hs4g5rq6fp7eo8dn9cm0bla";
    std::string out;
    for (char c : clear) {
        switch (c) {
            case ':': out += "_z2C$q"; break;
            case '.': out += "_z&e3B"; break;
            case '/': out += "AzdH3F"; break;
            default: {
                const std::size_t at = kClear.find(c);
                out += at == std::string_view::npos ? c : kCiphered[at];
            }
        }
    }
    return out;
}

std::string BuildJsonPage(const PageSettings& settings, const FlipRequest& request) {
    const std::string keywordJs = JsString(request.keyword);
    const KeywordMode mode = ModeForKeyword(request.keyword, settings.defaultTotal);
    std::string out = "{\"queryEnc\":\"" + keywordJs + "\",\"queryExt\":\"" + keywordJs +
                      "\",\"listNum\":" + std::to_string(mode.total) +
                      ",\"displayNum\":" + std::to_string(mode.total) +
                      ",\"gsm\":\"1e\",\"bdFmtDispNum\":\"约" + std::to_string(mode.total) +
                      "\",\"bdSearchTime\":\"\",\"isNeedAsyncRequest\":1,\"bdIsClustered\":\"1\",\"data\":[";
    for (const PageElement& e : ListElements(settings, request)) {
        const std::string from = "http://www.example.com/gallery/" + std::to_string(e.index) + ".html";
        out += "{\"thumbURL\":\"" + Js(e.thumbURL) + "\"";
        if (e.objUrlForm == PageElement::ObjUrl::Present) {
            out += ",\"middleURL\":\"" + Js(e.thumbURL) + "\",\"hoverURL\":\"" + Js(e.thumbURL) + "\"";
            out += ",\"objURL\":\"" + Js(CipherAddress(e.objURL)) + "\"";
            if (e.index % 2 == 0)
                out += ",\"replaceUrl\":[{\"ObjURL\":\"" + Js(e.objURL) + "\",\"FromURL\":\"" + Js(from) + "\"}]";
        }
        out += ",\"fromURL\":\"" + Js(CipherAddress(from)) + "\"";
        if (e.hasWidth) out += ",\"width\":" + std::to_string(e.width);
        out += ",\"height\":" + std::to_string(e.height);
        out += ",\"type\":\"" + std::string(TypeMemberOf(e.kind)) + "\"";
        out += ",\"fromPageTitle\":\"<strong>" + keywordJs + "<\\/strong> - Lumi\\'s gallery\"";
        out += ",\"fromPageTitleEnc\":\"" + keywordJs + " - Lumi\\'s gallery\"";
        out += ",\"fromURLHost\":\"http:\\/\\/www.example.com\"";
        out += ",\"di\":\"" + std::to_string(7185000000LL + e.index * 131LL) + "\"},";
    }
    out += "{}]}";
    return out;
}

std::string AppPage(std::string_view keyword) {
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + HtmlEscape(keyword) +
           "_百度图片搜索</title></head><body><div id=\"app\"></div>"
           "<script src=\"/static/search/app.js\"></script></body></html>\n";
}

}  // namespace lumigrab::standin::detail
