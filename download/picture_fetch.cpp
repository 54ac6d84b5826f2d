#include "download/picture_fetch.h"

#include "download/save_folder.h"
#include "net/body_budget.h"
#include "picture/picture.h"

namespace lumigrab {

PictureFetch FetchPicture(std::string_view url, const std::filesystem::path& path,
                          const std::atomic<bool>* cancel) {
    PictureFetch result;
    HttpOptions options;
    options.cancel = cancel;
    options.statusCode = &result.status;
    options.failure = &result.failure;
    // Held until the picture is tested and written: what workers hold of
    // their bodies stays inside the process's body budget, however many there are.
    BodyReservation reservation;
    options.bodyReservation = &reservation;
    const Bytes body = HttpRequest(url, options);
    result.bytes = body.size();
    const auto cancelled = [cancel] { return cancel != nullptr && cancel->load(std::memory_order_relaxed); };
    if (cancelled()) {
        result.state = PictureFetch::State::Cancelled;
        return result;
    }
    if (body.empty() && result.status == 0) {
        result.state = PictureFetch::State::FetchFailed;
        return result;
    }
    const bool picture = IsPicture(body, cancel);
    if (cancelled()) {
        // The picture test can take a while on a big body, or wait its turn
        // for memory; a stop meanwhile counts, and its "no" means nothing.
        result.state = PictureFetch::State::Cancelled;
    } else if (!picture) {
        result.state = PictureFetch::State::NotPicture;
    } else {
        result.state = WritePictureFile(path, body) ? PictureFetch::State::Saved
                                                    : PictureFetch::State::WriteFailed;
    }
    return result;
}

}  // namespace lumigrab
