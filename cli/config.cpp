#include "cli/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "net/cookies_file.h"
#include "platform/file_io.h"

namespace lumigrab::cli {
namespace {

constexpr const char* kNoConfig = "--no-config";
// Far beyond what a browser holds (3,000 cookies of a few hundred bytes),
// so reading stays bounded whatever the file is.
constexpr off_t kMaxCookiesFileBytes = off_t{16} << 20;

// CLI11's TOML reader, but a key that names no long option ends the run, so
// a mistyped key is not silently ignored.
class KnownKeys : public CLI::ConfigTOML {
public:
    explicit KnownKeys(const CLI::App& app) : app_(app) {}

    std::vector<CLI::ConfigItem> from_config(std::istream& input) const override {
        std::vector<CLI::ConfigItem> items = CLI::ConfigTOML::from_config(input);
        for (const CLI::ConfigItem& item : items) {
            // Sections would name subcommands, and the command has none.
            const bool known = item.parents.empty() && app_.get_option_no_throw("--" + item.name) != nullptr;
            if (!known) {
                const std::string key = item.parents.empty() ? item.name : item.parents.front();
                throw CLI::ConfigError("unknown key in a config file: " + key);
            }
        }
        return items;
    }

private:
    const CLI::App& app_;
};

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace

std::filesystem::path DefaultConfigFile() {
    // A relative XDG_CONFIG_HOME is to be ignored, as the XDG rules say.
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') return std::filesystem::path(xdg) / "lumigrab" / "lumigrab-cli.toml";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0')
        return std::filesystem::path(home) / ".config" / "lumigrab" / "lumigrab-cli.toml";
    return {};
}

std::vector<std::string> AddConfigFiles(CLI::App& app, int argc, char** argv,
                                        const std::filesystem::path& defaultFile) {
    app.config_formatter(std::make_shared<KnownKeys>(app));
    app.set_config("--config", "",
                   "read options from FILE, TOML with the long option names as keys (depth = 3, "
                   "quiet = true), besides the default file $XDG_CONFIG_HOME/lumigrab/lumigrab-cli.toml "
                   "(else ~/.config/lumigrab/lumigrab-cli.toml); FILE wins over the default file, "
                   "the command line over both")
        ->type_name("FILE")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    const std::string noConfigHelp = "do not read the default config file";
    app.add_flag(kNoConfig, noConfigHelp)->configurable(false)->disable_flag_override();

    std::vector<std::string> args;
    bool noConfig = false;
    bool options = true;  // before "--", after which everything is a keyword
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") options = false;
        if (options && (arg == kNoConfig || arg.starts_with(std::string(kNoConfig) + "="))) noConfig = true;
        args.emplace_back(arg);
    }
    struct stat info {};
    // A file that is there but cannot be read is an error, named by the
    // reader; only one that is absent is passed over.
    if (!noConfig && !defaultFile.empty() && ::stat(defaultFile.c_str(), &info) == 0)
        args.insert(args.begin(), {"--config", defaultFile.string()});
    return args;
}

std::string ProxyProblem(std::string_view address) {
    const std::size_t colon = address.find("://");
    const std::string scheme = Lower(address.substr(0, colon));
    const bool known = scheme == "http" || scheme == "https" || scheme == "socks5" || scheme == "socks5h";
    bool clean = true;
    for (char c : address)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) clean = false;
    if (colon != std::string_view::npos && known && clean && address.size() > colon + 3 && address[colon + 3] != '/')
        return {};
    return std::string(address) +
           " is not a proxy address (http://, https://, socks5:// or socks5h:// and a host, without spaces)";
}

std::string ReadCookiesFile(const std::filesystem::path& file, CookieJar& jar) {
    const std::string name = "the cookies file " + file.string();
    struct stat info {};
    // Found with stat, which never opens (a FIFO would block an open).
    if (::stat(file.c_str(), &info) != 0) return "cannot read " + name + ": " + std::strerror(errno);
    if (!S_ISREG(info.st_mode)) return name + " is not a regular file";
    if (info.st_size > kMaxCookiesFileBytes) return name + " is larger than 16 MiB";
    const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return "cannot read " + name + ": " + std::strerror(errno);
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return "cannot read " + name + ": " + std::strerror(errno);
        if (got == 0) break;
        // It may have grown since it was measured.
        if (text.size() + static_cast<std::size_t>(got) > static_cast<std::size_t>(kMaxCookiesFileBytes))
            return name + " is larger than 16 MiB";
        text.append(buffer, static_cast<std::size_t>(got));
    }
    const std::string why = ReadCookiesText(text, jar, static_cast<std::int64_t>(std::time(nullptr)));
    return why.empty() ? std::string() : name + ", " + why;
}

}  // namespace lumigrab::cli
