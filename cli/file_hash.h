#pragma once
// SHA-256 of a saved picture, with OpenSSL's libcrypto doing the hashing.
#include <filesystem>
#include <optional>
#include <string>

namespace lumigrab::cli {

// Lower-case hex SHA-256 of the file's bytes; nullopt when it cannot be read.
std::optional<std::string> Sha256OfFile(const std::filesystem::path& path);

}  // namespace lumigrab::cli
