#include "cli/service.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <memory>
#include <mutex>

#include "text/encoding.h"

namespace lumigrab::cli {
namespace {

constexpr int kPageWorkersBesideDownloads = 4;

constexpr std::size_t kMaxSizeText = 32;

class Gather : public HarvestSink {
public:
    Gather(const Options& options, const HarvestFeed& feed) : options_(options), feed_(feed) {}

    bool askPage(std::int32_t index) override {
        if (!feed_.need) return true;
        for (;;) {
            int inFlight = 0;
            std::size_t perPage = 0;
            {
                std::lock_guard lock(pagesLock_);
                // The service has no more.
                if (emptyPage_) return false;
                inFlight = index - pagesIn_;
                perPage = mostOnAPage_;
            }
            switch (feed_.need(inFlight, perPage)) {
                case HarvestFeed::Need::More: return true;
                case HarvestFeed::Need::Enough: return false;
                case HarvestFeed::Need::Wait: feed_.wait(); break;
            }
        }
    }

    void pageRead(HarvestedPage page) override {
        std::size_t listed = 0;
        readPage(std::move(page), listed);
        std::lock_guard lock(pagesLock_);
        ++pagesIn_;
        mostOnAPage_ = std::max(mostOnAPage_, listed);
    }

    void readPage(HarvestedPage page, std::size_t& listed) {
        const std::string where = "page " + std::to_string(page.index + 1) + ": ";
        if (page.answer.status != 0) ++harvest.pagesAnswered;
        if (!page.refusal.empty()) {
            if (harvest.refusal.empty())
                harvest.refusal = where + page.refusal + " (" + DescribeAnswer(page.answer) + ")";
            return;
        }
        // Pages after a refusal are not asked for at all.
        if (!page.fetched && !harvest.refusal.empty()) return;
        if (!page.fetched) {
            harvest.problems.push_back(where + "no thread could be started for it");
            return;
        }
        if (!page.hasArray) {
            harvest.problems.push_back(where + DescribeAnswer(page.answer));
            return;
        }
        ++harvest.pagesWithArray;
        if (page.reading.unreadable) harvest.problems.push_back(where + "its picture data is too large to read");
        const std::string letters = std::to_string(options_.letters);
        if (page.reading.records.empty() && !page.reading.unreadable) {
            std::lock_guard lock(pagesLock_);
            emptyPage_ = true;
        }
        std::vector<Entry> records;
        int tooLong = 0;
        for (const ImageRecord& record : page.reading.records) {
            // Its place in the service's order counts whether or not it is kept.
            const std::uint32_t rank = ++ranked_;
            if (record.address.size() > kMaxAddressBytes || record.thumbnail.size() > kMaxAddressBytes) {
                ++tooLong;
                continue;
            }
            const Text saveName = ComposeSaveName(options_.namePrefix, letters,
                                                  static_cast<int>(harvest.listed + records.size()) + 1);
            // A size is a few digits; anything longer is not one worth keeping.
            const auto size = [](const Text& text) {
                return text.size() <= kMaxSizeText ? std::string_view(text) : std::string_view();
            };
            // A page address no browser would take is not worth keeping either.
            const Text& source = record.sourcePage.size() <= kMaxAddressBytes ? record.sourcePage : Text();
            // The records leave the harvest's system text here, once.
            Entry& entry = records.emplace_back(GbkToUtf8(saveName), GbkToUtf8(record.address),
                                                GbkToUtf8(record.thumbnail), GbkToUtf8(size(record.width)),
                                                GbkToUtf8(size(record.height)), GbkToUtf8(source),
                                                GbkToUtf8(record.title));
            entry.rank = rank;
            entry.page = page.index;
        }
        listed = records.size();
        harvest.listed += records.size();
        if (feed_.records) {
            if (!records.empty()) feed_.records(std::move(records));
        } else {
            harvest.records.insert(harvest.records.end(), std::make_move_iterator(records.begin()),
                                   std::make_move_iterator(records.end()));
        }
        // The page itself was read; only those pictures are passed over.
        if (tooLong > 0)
            harvest.notes.push_back(where + std::to_string(tooLong) + (tooLong == 1 ? " picture" : " pictures") +
                                    " left out: address too long (over " +
                                    std::to_string(kMaxAddressBytes >> 10) + " KiB)");
    }
    void finished() override {}

    Harvest harvest;

private:
    const Options& options_;
    const HarvestFeed& feed_;
    std::mutex pagesLock_;  // what askPage, on another worker, reads of the pages in
    int pagesIn_ = 0;
    std::size_t mostOnAPage_ = 0;
    bool emptyPage_ = false;
    std::uint32_t ranked_ = 0;  // records the pages handed over so far listed
};

}  // namespace

Harvest HarvestPages(const Options& options, WorkerGang& gang, SharedSession& shared, const HarvestFeed& feed) {
    HarvestSettings settings;
    settings.keyword = options.keyword;
    settings.pages = options.depth;
    // Beside the downloads a few page workers keep well ahead of them (a
    // page lists 30 pictures), and every one more is another engine and TLS
    // session taking the cores the downloads need.
    settings.workers = feed.records ? std::min(options.threads, kPageWorkersBesideDownloads) : options.threads;
    settings.widthFilter = options.widthFilter;
    settings.heightFilter = options.heightFilter;
    settings.visitFrontPage = options.warmUp;
    settings.cookies = options.cookies;
    settings.source = options.source;
    settings.wait = std::chrono::milliseconds(static_cast<long long>(options.waitSeconds * 1000));
    settings.retries = options.retries;
    settings.jsonFilters = options.jsonFilters;
    settings.frontPageCookies = shared.frontPageCookies;
    settings.firstRequestAt = shared.nextRequestAt;
    auto gather = std::make_shared<Gather>(options, feed);
    auto session = std::make_shared<HarvestSession>(std::move(settings), gather);
    session->start(gang);
    // The sink is written only by the workers; waitIdle orders their writes
    // before the reads below.
    while (!gang.waitIdle(std::chrono::seconds(1))) {
    }
    gather->harvest.stopped = gang.stopped();
    gather->harvest.frontPageNote = session->frontPageNote();
    if (session->visited()) shared.frontPageCookies = session->cookies();
    shared.nextRequestAt = session->nextRequestAt();
    return std::move(gather->harvest);
}

}  // namespace lumigrab::cli
