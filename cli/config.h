#pragma once
// The settings people bring to the command: config files (CLI11's TOML, whose
// keys are the long option names), a proxy, and a cookies file.
#include <CLI/CLI.hpp>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "net/cookies.h"

namespace lumigrab::cli {

// The user's own config file, read when present:
// $XDG_CONFIG_HOME/lumigrab/lumigrab-cli.toml, else
// ~/.config/lumigrab/lumigrab-cli.toml. Empty with neither variable set.
std::filesystem::path DefaultConfigFile();

// Gives `app` its --config FILE and --no-config options and a TOML reader
// that refuses a key naming no long option. Returns the arguments to parse
// (argv without the program's name): when the default file is present and
// --no-config is not among them, the default file comes first as a
// --config of its own, so that a FILE given on the command line wins over
// it, and the command line over both.
std::vector<std::string> AddConfigFiles(CLI::App& app, int argc, char** argv,
                                        const std::filesystem::path& defaultFile);

// Why `address` cannot be the --proxy; empty when it can.
std::string ProxyProblem(std::string_view address);

// Adds the cookies of a cookies file to `jar`. Empty on success; otherwise
// what is wrong, naming the file and, for a malformed line, its number.
std::string ReadCookiesFile(const std::filesystem::path& file, CookieJar& jar);

}  // namespace lumigrab::cli
