#include "net/http_connection.h"

namespace lumigrab {

void EnsureCurlInitialised() {
    // curl_global_init is not thread-safe on every build of libcurl, and the
    // first requests of this program start on several threads at once.
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

HttpConnection::HttpConnection() {
    EnsureCurlInitialised();
    handle_.reset(curl_easy_init());
}

}  // namespace lumigrab
