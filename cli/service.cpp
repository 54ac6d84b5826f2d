#include "cli/service.h"

#include <chrono>
#include <memory>

namespace lumigrab::cli {
namespace {

constexpr std::size_t kMaxSizeText = 32;

class Gather : public HarvestSink {
public:
    explicit Gather(const Options& options) : options_(options) {}

    void pageRead(HarvestedPage page) override {
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
        int tooLong = 0;
        for (const ImageRecord& record : page.reading.records) {
            if (record.address.size() > kMaxAddressBytes || record.thumbnail.size() > kMaxAddressBytes) {
                ++tooLong;
                continue;
            }
            const Text saveName = ComposeSaveName(options_.namePrefix, letters,
                                                  static_cast<int>(harvest.records.size()) + 1);
            // A size is a few digits; anything longer is not one worth keeping.
            const auto size = [](const Text& text) {
                return text.size() <= kMaxSizeText ? std::string_view(text) : std::string_view();
            };
            harvest.records.emplace_back(saveName, record.address, record.thumbnail, size(record.width),
                                         size(record.height));
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
};

}  // namespace

Harvest HarvestPages(const Options& options, WorkerGang& gang, SharedSession& shared) {
    HarvestSettings settings;
    settings.keyword = options.keyword;
    settings.pages = options.depth;
    settings.workers = options.threads;
    settings.widthFilter = options.widthFilter;
    settings.heightFilter = options.heightFilter;
    settings.visitFrontPage = options.warmUp;
    settings.source = options.source;
    settings.wait = std::chrono::milliseconds(static_cast<long long>(options.waitSeconds * 1000));
    settings.retries = options.retries;
    settings.jsonFilters = options.jsonFilters;
    settings.frontPageCookies = shared.frontPageCookies;
    settings.firstRequestAt = shared.nextRequestAt;
    auto gather = std::make_shared<Gather>(options);
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
