#include "harvest/json_results.h"

#include <nlohmann/json.hpp>

#include "harvest/result_page.h"
#include "text/encoding.h"

namespace lumigrab {
namespace {

using Json = nlohmann::json;

// Outside strings it is never there; inside, only `\'` is not JSON.
std::string MendQuotes(std::string_view body) {
    std::string out;
    out.reserve(body.size());
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '\\' && i + 1 < body.size()) {
            if (body[i + 1] == '\'') {
                out += '\'';
            } else {
                out += body[i];
                out += body[i + 1];
            }
            ++i;
            continue;
        }
        out += body[i];
    }
    return out;
}

std::string StringMember(const Json& object, const char* name) {
    const auto found = object.find(name);
    if (found == object.end() || !found->is_string()) return {};
    return found->get<std::string>();
}

// A size as the page gave it: a number's decimal text, a string as it stands.
std::string SizeMember(const Json& object, const char* name) {
    const auto found = object.find(name);
    if (found == object.end()) return {};
    if (found->is_number_integer()) return std::to_string(found->get<std::int64_t>());
    if (found->is_number()) return found->dump();
    if (found->is_string()) return found->get<std::string>();
    return {};
}

std::string AddressOf(const Json& record) {
    // The clear address, where the service gives one.
    const auto replaced = record.find("replaceUrl");
    if (replaced != record.end() && replaced->is_array() && !replaced->empty() && (*replaced)[0].is_object()) {
        std::string clear = StringMember((*replaced)[0], "ObjURL");
        if (!clear.empty()) return clear;
    }
    if (std::string ciphered = StringMember(record, "objURL"); !ciphered.empty())
        return DecodeCipheredAddress(ciphered);
    if (std::string hover = StringMember(record, "hoverURL"); !hover.empty()) return hover;
    return StringMember(record, "middleURL");
}

}  // namespace

Text BuildJsonPageUrl(std::string_view origin, std::string_view keyword, std::int32_t pageIndex,
                      std::string_view width, std::string_view height, const JsonFilters& filters) {
    if (width.empty() || height.empty()) {
        width = "0";
        height = "0";
    }
    std::string extra;
    if (filters.color > 0) extra += "&ic=" + std::to_string(filters.color);
    if (filters.face) extra += "&face=1";
    switch (filters.kind) {
        case JsonFilters::Kind::Clipart: extra += "&st=1"; break;
        case JsonFilters::Kind::LineDrawing: extra += "&st=2"; break;
        case JsonFilters::Kind::Animated: extra += "&lm=6"; break;
        case JsonFilters::Kind::Static: extra += "&lm=7"; break;
        case JsonFilters::Kind::Any: break;
    }
    return ConcatText(origin, "/search/acjson?tn=resultjson_com&ipn=rj&word=", UrlEncode(keyword),
                      "&pn=", std::to_string(static_cast<std::int64_t>(pageIndex) * kJsonPageSize),
                      "&rn=", std::to_string(kJsonPageSize), "&width=", width, "&height=", height, extra);
}

Text JsonPageHeaders(std::string_view origin) {
    return ConcatText("Referer: ", origin, "/\r\n",
                      "Accept-Language: zh-CN,zh;q=0.9\r\n",
                      "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
                      "Chrome/131.0.0.0 Safari/537.36\r\n");
}

std::string DecodeCipheredAddress(std::string_view ciphered) {
    std::string text(ciphered);
    for (const auto& [from, to] : {std::pair<std::string_view, std::string_view>{"_z2C$q", ":"},
                                   {"_z&e3B", "."},
                                   {"AzdH3F", "/"}}) {
        for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
    }
    static constexpr std::string_view kFrom = "wkv1ju2it3hs4g5rq6fp7eo8dn9cm0bla";
    static constexpr std::string_view kTo = "abcdefghijklmnopqrstuvw1234567890";
    for (char& c : text) {
        const std::size_t at = kFrom.find(c);
        if (at != std::string_view::npos) c = kTo[at];
    }
    return text;
}

JsonPageReading ReadJsonPage(std::string_view body) {
    JsonPageReading reading;
    const Json answer = Json::parse(MendQuotes(body), nullptr, /*allow_exceptions=*/false);
    if (!answer.is_object()) return reading;
    const auto flag = answer.find("antiFlag");
    if (flag != answer.end() && !(flag->is_number() && flag->get<double>() == 0)) {
        std::string words = StringMember(answer, "message");
        reading.refusal = words.empty() ? std::string("antiFlag") : words;
        return reading;
    }
    const auto data = answer.find("data");
    if (data == answer.end() || !data->is_array()) return reading;
    reading.isData = true;
    for (const Json& record : *data) {
        if (!record.is_object()) continue;
        const std::string address = AddressOf(record);
        if (address.empty()) continue;
        ImageRecord row;
        row.address = Utf8ToGbk(address);
        row.width = Utf8ToGbk(SizeMember(record, "width"));
        row.height = Utf8ToGbk(SizeMember(record, "height"));
        row.thumbnail = Utf8ToGbk(StringMember(record, "thumbURL"));
        reading.records.push_back(std::move(row));
    }
    return reading;
}

}  // namespace lumigrab
