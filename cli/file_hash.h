#pragma once
// SHA-256 of a saved picture, and a bounded read of one, with OpenSSL's
// libcrypto doing the hashing.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "text/text.h"

namespace lumigrab::cli {

// Lower-case hex SHA-256 of the file's bytes; nullopt when it cannot be read.
std::optional<std::string> Sha256OfFile(const std::filesystem::path& path);

// The whole file when it holds at most `limit` bytes.
std::optional<Bytes> ReadFileBounded(const std::filesystem::path& path, std::uint64_t limit);

}  // namespace lumigrab::cli
