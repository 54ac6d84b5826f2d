#include "net/curl_pool.h"

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "net/redirects.h"
#include "text/text.h"

namespace lumigrab {

namespace {

using Clock = std::chrono::steady_clock;

// Sixteen idle handles of at most four connections each (the cap is set on
// every transfer) keep at most 64 idle sockets: enough for the hosts a run of
// workers is busy with, few enough that nobody minds them sitting open.
constexpr std::size_t kMaxIdleHandles = 16;
// libcurl itself stops reusing a connection idle this long (118 s), so a
// handle that has waited longer holds nothing worth keeping.
constexpr auto kMaxIdleAge = std::chrono::seconds(118);

class HandlePool {
public:
    CurlEasy take(const std::string& key) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            // The newest handle for this origin has the freshest connection;
            // failing that, the oldest handle's connections are the least
            // likely to be wanted again.
            for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
                if (it->key == key) return takeAt(std::next(it).base());
            }
            if (!idle_.empty()) return takeAt(idle_.begin());
        }
        return NewCurlHandle();
    }

    void give(CurlEasy handle, std::string key) {
        std::vector<CurlEasy> dropped;  // closed outside the lock
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            const Clock::time_point now = Clock::now();
            idle_.push_back(Idle{std::move(handle), std::move(key), now});
            while (idle_.size() > kMaxIdleHandles || now - idle_.front().since > kMaxIdleAge) {
                dropped.push_back(std::move(idle_.front().handle));
                idle_.pop_front();
            }
        }
    }

private:
    struct Idle {
        CurlEasy handle;
        std::string key;
        Clock::time_point since;
    };

    CurlEasy takeAt(std::deque<Idle>::iterator at) {
        CurlEasy handle = std::move(at->handle);
        idle_.erase(at);
        return handle;
    }

    std::mutex mutex_;
    std::deque<Idle> idle_;  // oldest first
};

HandlePool& Pool() {
    // Never destroyed, like the shared caches: a detached worker may give a
    // handle back while the process exits.
    static HandlePool* const pool = new HandlePool;
    return *pool;
}

}  // namespace

std::string CurlPoolKey(std::string_view url, std::string_view proxyAddress) {
    std::string key = UrlOrigin(url);
    key += '\n';
    key += proxyAddress;
    return key;
}

PooledCurlHandle::PooledCurlHandle(std::string key) : handle_(Pool().take(key)), key_(std::move(key)) {}

PooledCurlHandle::~PooledCurlHandle() {
    if (handle_) Pool().give(std::move(handle_), std::move(key_));
}

}  // namespace lumigrab
