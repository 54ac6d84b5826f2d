#include "cli/service.h"

#include <chrono>
#include <memory>

namespace lumigrab::cli {
namespace {

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
        for (ImageRecord& record : page.reading.records) {
            record.saveName = ComposeSaveName(options_.namePrefix, letters,
                                              static_cast<int>(harvest.records.size()) + 1);
            harvest.records.push_back(std::move(record));
        }
    }
    void finished() override {}

    Harvest harvest;

private:
    const Options& options_;
};

}  // namespace

Harvest HarvestPages(const Options& options, WorkerGang& gang) {
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
    auto gather = std::make_shared<Gather>(options);
    auto session = std::make_shared<HarvestSession>(std::move(settings), gather);
    session->start(gang);
    // The sink is written only by the workers; waitIdle orders their writes
    // before the reads below.
    while (!gang.waitIdle(std::chrono::seconds(1))) {
    }
    gather->harvest.stopped = gang.stopped();
    gather->harvest.frontPageNote = session->frontPageNote();
    return std::move(gather->harvest);
}

}  // namespace lumigrab::cli
