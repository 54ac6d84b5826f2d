// Time to load one result page's picture array (30 pictures, about 60 KB,
// shaped like the search service's) into a JSON document and read 30 rows of
// four cells, as a page worker does. Then how the reading of a whole page
// (cut out of the body, then read) grows with the page: per element for 30,
// 3,000 and 30,000 small elements, and for 25 elements with addresses of a
// megabyte each. Prints figures only.
#include <chrono>
#include <cstdio>
#include <string>

#include "harvest/result_page.h"
#include "json/json_document.h"
#include "json/literal_check.h"
#include "text/encoding.h"

namespace {

using Clock = std::chrono::steady_clock;
using lumigrab::Gbk;
using lumigrab::JsonDocument;
using lumigrab::Text;

Text Letters(unsigned seed, std::size_t n) {
    Text out;
    unsigned x = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        out.push_back("abcdefghijklmnopqrstuvwxyz0123456789"[(x >> 16) % 36]);
    }
    return out;
}

Text Picture(int i) {
    const Text n = std::to_string(i);
    const Text host = "https:\\/\\/img" + n + ".example.com\\/it\\/u=" + Letters(i, 10) + "," +
                      Letters(i + 100, 10) + "&fm=253&fmt=auto&app=138&f=JPEG";
    Text p = "{";
    p += "\"adType\":\"0\",\"hasAspData\":\"0\",";
    p += "\"thumbURL\":\"" + host + "?w=500&h=281\",";
    p += "\"commodityInfo\":null,\"isCommodity\":0,";
    p += "\"middleURL\":\"" + host + "?w=500&h=281\",";
    p += "\"largeTnImageUrl\":\"\",\"hasLarge\":0,";
    p += "\"hoverURL\":\"" + host + "\",\"pageNum\":" + std::to_string(30 + i) + ",";
    p += "\"objURL\":\"ippr_z2C$qAzdH3FAzdH3Ft42_z&e3Bv54AzdH3F" + Letters(i + 200, 180) + "\",";
    p += "\"fromURL\":\"ippr_z2C$qAzdH3FAzdH3Fooo_z&e3B" + Letters(i + 300, 120) + "\",";
    p += "\"fromURLHost\":\"https:\\/\\/www." + Letters(i + 400, 8) + ".com\",";
    p += "\"currentIndex\":\"\",\"width\":" + std::to_string(400 + i * 37) +
         ",\"height\":" + std::to_string(300 + i * 23) + ",\"type\":\"jpg\",";
    p += "\"is_gif\":0,\"isCopyright\":0,\"resourceInfo\":null,\"strategyAssessment\":\"" +
         Letters(i + 500, 40) + "\",";
    p += "\"filesize\":\"\",\"bdSrcType\":\"0\",\"di\":\"" + Letters(i + 600, 20) + "\",";
    p += "\"pi\":\"0\",\"is\":\"0,0\",\"imgCollectionWord\":\"\",";
    p += "\"replaceUrl\":[{\"ObjURL\":\"http:\\/\\/img" + n + ".example.net\\/" +
         Letters(i + 700, 60) + ".jpg\",\"ObjUrl\":\"http:\\/\\/img" + n + ".example.net\\/" +
         Letters(i + 700, 60) + ".jpg\",\"FromURL\":\"https:\\/\\/www.example.org\\/" +
         Letters(i + 800, 40) + ".html\",\"FromUrl\":\"https:\\/\\/www.example.org\\/" +
         Letters(i + 800, 40) + ".html\"}],";
    p += "\"hasThumbData\":\"0\",\"bdSetImgNum\":0,\"partnerId\":0,\"spn\":0,";
    p += "\"bdImgnewsDate\":\"1970-01-01 08:00\",";
    p += "\"fromPageTitle\":\"" + Gbk("可爱的<strong>猫<\\/strong>咪图片高清壁纸 第") + n +
         Gbk("张 - 图片素材大全") + "\",";
    p += "\"fromPageTitleEnc\":\"" + Gbk("可爱的猫咪图片高清壁纸 第") + n + Gbk("张") + "\",";
    p += "\"bdSourceName\":\"\",\"bdFromPageTitlePrefix\":\"\",\"isAspDianjing\":0,";
    p += "\"token\":\"\",\"imgType\":\"\",\"cs\":\"" + Letters(i + 900, 10) + "," +
         Letters(i + 950, 10) + "\",";
    p += "\"os\":\"" + Letters(i + 1000, 10) + "," + Letters(i + 1050, 10) + "\",";
    p += "\"simid\":\"" + Letters(i + 1100, 10) + "," + Letters(i + 1150, 10) + "\",";
    p += "\"personalized\":\"0\",\"simid_info\":null,\"face_info\":null,\"xiangshi_info\":null,";
    p += "\"adPicId\":\"0\",\"source_type\":\"\"";
    p += "}";
    return p;
}

Text PictureArray() {
    Text a = "[";
    for (int i = 0; i < 30; ++i) {
        if (i) a += ",";
        a += Picture(i);
    }
    a += ",{}]";  // the service ends its array with an empty object
    return a;
}

double MicrosSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// A result page body whose array holds `count` elements with the four
// members a row is made of, each address padded to `addressBytes`.
lumigrab::Bytes PageBody(int count, std::size_t addressBytes) {
    std::string body = R"(<script>app.setData('imgData', {"isNeedAsyncRequest":0,"data":[)";
    for (int i = 0; i < count; ++i) {
        if (i) body += ',';
        std::string address = "http:\\/\\/img.example.com\\/" + std::to_string(i) + ".jpg";
        if (address.size() < addressBytes) address.append(addressBytes - address.size(), 'a');
        body += R"({"objURL":")" + address + R"(","width":)" + std::to_string(400 + i % 900) +
                R"(,"height":300,"thumbURL":"http:\/\/t.example.com\/)" + std::to_string(i) +
                R"(.jpg"})";
    }
    body += "]});</script>";
    return lumigrab::Bytes(body.begin(), body.end());
}

// Cuts and reads one page; the time in microseconds, or -1 when the rows do
// not come out complete.
double ReadPage(const lumigrab::Bytes& body, int expectedRows) {
    const auto t = Clock::now();
    const lumigrab::PictureArrayReading reading =
        lumigrab::ReadPictureArray(lumigrab::CutPictureArray(body));
    const double micros = MicrosSince(t);
    if (reading.unreadable || static_cast<int>(reading.records.size()) != expectedRows) return -1;
    return micros;
}

int PageGrowth() {
    std::printf("\nwhole page (cut + read), per element:\n");
    double reference = 0;
    for (const int count : {30, 3000, 30000}) {
        const lumigrab::Bytes body = PageBody(count, 0);
        const double micros = ReadPage(body, count);
        if (micros < 0) {
            std::printf("%6d elements: rows missing\n", count);
            return 1;
        }
        const double perElement = micros / count;
        if (count == 30) reference = perElement;
        std::printf("%6d elements (%8zu bytes) %10.0f us  %7.1f us/element  x%.2f of 30\n",
                    count, body.size(), micros, perElement, perElement / reference);
    }
    constexpr std::size_t kMegabyte = std::size_t{1} << 20;
    const lumigrab::Bytes body = PageBody(25, kMegabyte);
    const double micros = ReadPage(body, 25);
    if (micros < 0) {
        std::printf("25 x 1 MB addresses: rows missing\n");
        return 1;
    }
    std::printf("25 x 1 MB addresses (%zu bytes) %10.0f us  %7.1f us/MB\n", body.size(), micros,
                micros * kMegabyte / body.size());
    return 0;
}

}  // namespace

int main() {
    const Text page = PictureArray();
    constexpr int kRepeats = 200;

    double construct = 0, parse = 0, read = 0, check = 0;
    std::size_t bytesRead = 0;
    for (int r = 0; r < kRepeats; ++r) {
        auto t = Clock::now();
        lumigrab::CheckLiteral(page);
        check += MicrosSince(t);

        t = Clock::now();
        JsonDocument doc;
        construct += MicrosSince(t);

        t = Clock::now();
        if (!doc.Parse(page)) {
            std::printf("parse failed\n");
            return 1;
        }
        parse += MicrosSince(t);

        t = Clock::now();
        const int count = doc.Count();
        for (int i = 0; i < count; ++i) {
            const Text row = "[" + std::to_string(i) + "].";
            bytesRead += doc.GetText(row + "objURL").size() + doc.GetText(row + "width").size() +
                         doc.GetText(row + "height").size() + doc.GetText(row + "thumbURL").size();
        }
        read += MicrosSince(t);
    }

    std::printf("picture array: %zu bytes, 31 elements, %d repetitions\n", page.size(), kRepeats);
    std::printf("literal check     %9.1f us\n", check / kRepeats);
    std::printf("construct         %9.1f us\n", construct / kRepeats);
    std::printf("parse             %9.1f us\n", parse / kRepeats);
    std::printf("count + 31x4 reads %8.1f us\n", read / kRepeats);
    std::printf("page total        %9.1f us\n", (construct + parse + read) / kRepeats);
    std::printf("(bytes read per page: %zu)\n", bytesRead / kRepeats);
    return PageGrowth();
}
