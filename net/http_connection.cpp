#include "net/http_connection.h"

#include <array>
#include <cstddef>

#include <openssl/crypto.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "workers/thread_end.h"

namespace lumigrab {

namespace {

// libcurl asks for one lock per kind of shared data (and one for the share
// object itself); each gets its own mutex.
struct ShareLocks {
    std::array<std::mutex, CURL_LOCK_DATA_LAST> byKind;
};

void LockShared(CURL*, curl_lock_data kind, curl_lock_access, void* user) {
    auto* locks = static_cast<ShareLocks*>(user);
    locks->byKind[static_cast<std::size_t>(kind) % locks->byKind.size()].lock();
}

void UnlockShared(CURL*, curl_lock_data kind, void* user) {
    auto* locks = static_cast<ShareLocks*>(user);
    locks->byKind[static_cast<std::size_t>(kind) % locks->byKind.size()].unlock();
}

struct CurlShareDeleter {
    void operator()(CURLSH* share) const noexcept { curl_share_cleanup(share); }
};

struct SharedCaches {
    ShareLocks locks;
    std::unique_ptr<CURLSH, CurlShareDeleter> share;

    SharedCaches() : share(curl_share_init()) {
        if (!share) return;
        CURLSH* s = share.get();
        curl_share_setopt(s, CURLSHOPT_USERDATA, &locks);
        curl_share_setopt(s, CURLSHOPT_LOCKFUNC, &LockShared);
        curl_share_setopt(s, CURLSHOPT_UNLOCKFUNC, &UnlockShared);
        curl_share_setopt(s, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    }
};

CURLSH* ProcessShare() {
    // Never destroyed: detached workers may still be inside a request while
    // the process exits, and the share must outlive every handle using it.
    static SharedCaches* const caches = new SharedCaches;
    return caches->share.get();
}

}  // namespace

void EnsureCurlInitialised() {
    // curl_global_init is not thread-safe on every build of libcurl, and the
    // first requests of this program start on several threads at once.
    static std::once_flag once;
    std::call_once(once, [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        // libcurl's TLS library keeps an error queue per thread and frees it
        // from a thread-exit hook, which can run after the process already
        // began exiting; a worker frees it before it reports itself done.
        AtEveryWorkerEnd([] { OPENSSL_thread_stop(); });
#if defined(__GLIBC__)
        // Response bodies are large buffers that live for one row. glibc
        // raises its mmap threshold to the size of the largest block freed,
        // after which such bodies come from per-thread arenas that keep the
        // memory once they are freed: twenty workers on 5 MB pictures would
        // hold their peak for the rest of the process. A fixed threshold
        // gives every body over 1 MiB back to the system when it goes.
        mallopt(M_MMAP_THRESHOLD, static_cast<int>(kMappedBlockBytes));
#endif
    });
}

CurlEasy NewCurlHandle() {
    EnsureCurlInitialised();
    CurlEasy handle(curl_easy_init());
    // Survives curl_easy_reset, so it is set once here.
    if (handle && ProcessShare() != nullptr) curl_easy_setopt(handle.get(), CURLOPT_SHARE, ProcessShare());
    return handle;
}

HttpConnection::HttpConnection() : handle_(NewCurlHandle()) {}

}  // namespace lumigrab
