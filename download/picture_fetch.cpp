#include "download/picture_fetch.h"

#include <openssl/evp.h>

#include "download/save_folder.h"
#include "net/body_budget.h"
#include "net/retry.h"
#include "picture/picture.h"
#include "text/text.h"

namespace lumigrab {
namespace {

// Fills in what the hook is shown and what it decided; true when the picture
// is to be written.
bool Kept(PictureFetch& result, const Bytes& body, const std::filesystem::path& path,
          const KeepPicture& keep) {
    if (result.sha256.empty()) result.sha256 = Sha256Hex(body);
    result.header = ReadPictureHeader(body);
    result.notKept = keep(PictureFacts{path, result.sha256, result.bytes, result.header});
    return result.notKept.keep;
}

}  // namespace

PictureFetch FetchPicture(std::string_view url, const std::filesystem::path& path,
                          const PictureFetchOptions& fetchOptions, Bytes& body, BodyReservation& held) {
    const std::atomic<bool>* cancel = fetchOptions.cancel;
    PictureFetch result;
    HttpOptions options;
    options.cancel = cancel;
    options.recycle = &body;
    held.releaseAll();
    options.bodyReservation = &held;
    HttpAnswer answer = HttpExchange(url, options);
    body = std::move(answer.body);
    result.status = answer.status;
    result.failure = answer.failure;
    result.bytes = body.size();
    result.retryAfter = RetryAfterOf(result.status, answer.headers);
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
    } else if (fetchOptions.keep && !Kept(result, body, path, fetchOptions.keep)) {
        result.state = PictureFetch::State::NotKept;
    } else if (WritePictureFile(path, body)) {
        result.state = PictureFetch::State::Saved;
        // From the bytes in hand: reading the file back would cost a second pass over the disk.
        if (fetchOptions.sha256 && result.sha256.empty()) result.sha256 = Sha256Hex(body);
    } else {
        result.state = PictureFetch::State::WriteFailed;
    }
    return result;
}

PictureFetch FetchPicture(std::string_view url, const std::filesystem::path& path,
                          const std::atomic<bool>* cancel) {
    Bytes body;
    BodyReservation held;
    return FetchPicture(url, path, PictureFetchOptions{cancel, false, {}}, body, held);
}

DownloadOutcome OutcomeOf(const PictureFetch& fetch) {
    using State = PictureFetch::State;
    using Cause = DownloadOutcome::Cause;
    DownloadOutcome outcome;
    switch (fetch.state) {
        case State::Saved: outcome = DownloadOutcome::Saved(); break;
        case State::NotKept: outcome = DownloadOutcome::NotKept(fetch.notKept.rule, fetch.notKept.detail); break;
        case State::FetchFailed: outcome = DownloadOutcome::Failed(Cause::NoResponse); break;
        case State::NotPicture: outcome = DownloadOutcome::Failed(Cause::NotPicture); break;
        case State::WriteFailed: outcome = DownloadOutcome::Failed(Cause::WriteFailed); break;
        case State::Cancelled: outcome = DownloadOutcome::Failed(Cause::Stopped); break;
    }
    outcome.status = fetch.status;
    outcome.http = fetch.failure;
    outcome.tries = fetch.tries;
    outcome.retryAfter = fetch.retryAfter;
    return outcome;
}

PictureFetch SaveCopy(const PictureFetch& fetch, const Bytes& body, const std::filesystem::path& path,
                      const KeepPicture& keep) {
    PictureFetch copy = fetch;
    if (fetch.state == PictureFetch::State::Saved && keep && !Kept(copy, body, path, keep)) {
        copy.state = PictureFetch::State::NotKept;
    } else if (fetch.state == PictureFetch::State::Saved && !WritePictureFile(path, body)) {
        copy.state = PictureFetch::State::WriteFailed;
        copy.sha256.clear();
    }
    return copy;
}

std::string Sha256Hex(std::span<const std::uint8_t> bytes) {
    // Fetched once: EVP_sha256() has OpenSSL look the algorithm up among its
    // providers, under their locks, on every call. Never freed, like the
    // library's own tables.
    static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (sha256 == nullptr || EVP_Digest(bytes.data(), bytes.size(), digest, &length, sha256, nullptr) != 1)
        return {};
    return LowerHex(std::span(digest, length));
}

}  // namespace lumigrab
