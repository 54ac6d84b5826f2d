// lumigrab-standin: the stand-in server as a program. It listens on
// 127.0.0.1, prints its port when asked, and exits on SIGTERM or SIGINT or
// when its lifetime is over, so a forgotten one never lingers.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "tools/standin/standin.h"

namespace {

void Usage() {
    std::fputs(
        "usage: lumigrab-standin [--port N] [--print-port] [--lifetime-seconds S]\n"
        "                        [--total N] [--picture-delay-ms MS] [--max-connections N]\n"
        "                        [--result-page-gone] [--json-answer FILE] [--jpeg-only]\n"
        "  --port N              port on 127.0.0.1 (0, the default: any free port)\n"
        "  --print-port          write the port and a newline to stdout once listening\n"
        "  --lifetime-seconds S  exit after S seconds (default 1800; 0: no limit)\n"
        "  --total N             result-set size of an ordinary keyword (default 75)\n"
        "  --picture-delay-ms MS wait before every picture response (default 0)\n"
        "  --max-connections N   connections served at once (default 64)\n"
        "  --result-page-gone    result pages send clients to the script-rendered app;\n"
        "                        only the JSON endpoint lists pictures\n"
        "  --json-answer FILE    the JSON endpoint answers every browser session with\n"
        "                        the contents of FILE, whatever the keyword\n"
        "  --jpeg-only           list only good JPEGs in plain records, as the download\n"
        "                        benchmark does, for timing a run by hand\n",
        stderr);
}

bool ReadNumber(const char* text, long long low, long long high, long long& out) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return false;
    out = value;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace lumigrab::standin;
    StandinOptions options;
    options.lifetime = std::chrono::seconds(1800);
    bool printPort = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        long long value = 0;
        auto number = [&](long long low, long long high) {
            if (i + 1 >= argc || !ReadNumber(argv[i + 1], low, high, value)) {
                std::fprintf(stderr, "lumigrab-standin: %s needs a number from %lld to %lld\n",
                             argv[i], low, high);
                std::exit(2);
            }
            ++i;
            return value;
        };
        if (arg == "--port") {
            options.port = static_cast<int>(number(0, 65535));
        } else if (arg == "--print-port") {
            printPort = true;
        } else if (arg == "--lifetime-seconds") {
            options.lifetime = std::chrono::seconds(number(0, 7 * 24 * 3600));
        } else if (arg == "--total") {
            options.total = static_cast<int>(number(0, kMaxTotal));
        } else if (arg == "--picture-delay-ms") {
            options.pictureDelay = std::chrono::milliseconds(number(0, 600000));
        } else if (arg == "--max-connections") {
            options.maxConnections = static_cast<int>(number(1, 4096));
        } else if (arg == "--jpeg-only") {
            options.kindCycle = {PictureKind::Jpeg};
            options.elementVariants = false;
        } else if (arg == "--result-page-gone") {
            options.resultPageGone = true;
        } else if (arg == "--json-answer" && i + 1 < argc) {
            std::ifstream file(argv[++i], std::ios::binary);
            options.jsonAnswer.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
            if (!file || options.jsonAnswer.empty()) {
                std::fprintf(stderr, "lumigrab-standin: cannot read a JSON answer from %s\n", argv[i]);
                return 2;
            }
        } else if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        } else {
            std::fprintf(stderr, "lumigrab-standin: unknown argument %s\n", argv[i]);
            Usage();
            return 2;
        }
    }

    // Blocked before any thread starts, so only the wait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        StandinServer server(options);
        if (printPort) {
            std::printf("%d\n", server.port());
            std::fflush(stdout);
        }
        std::fprintf(stderr, "lumigrab-standin: listening on %s (proxy for https, lifetime %llds)\n",
                     server.baseUrl().c_str(),
                     static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(
                                                options.lifetime).count()));
        const timespec tick{0, 200 * 1000 * 1000};
        while (server.running()) {
            const int sig = sigtimedwait(&stopSignals, nullptr, &tick);
            if (sig == SIGTERM || sig == SIGINT) {
                std::fprintf(stderr, "lumigrab-standin: stopping on %s\n", strsignal(sig));
                break;
            }
        }
        server.stop();
        std::fprintf(stderr, "lumigrab-standin: served %zu requests\n", server.requestCount());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lumigrab-standin: %s\n", e.what());
        return 1;
    }
    return 0;
}
