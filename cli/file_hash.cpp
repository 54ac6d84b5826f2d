#include "cli/file_hash.h"

#include <openssl/evp.h>

#include <cstdio>
#include <memory>

namespace lumigrab::cli {
namespace {

struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
struct DigestFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

std::optional<std::string> Sha256OfFile(const std::filesystem::path& path) {
    std::unique_ptr<std::FILE, FileClose> in(std::fopen(path.c_str(), "rb"));
    std::unique_ptr<EVP_MD_CTX, DigestFree> context(EVP_MD_CTX_new());
    if (!in || !context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return std::nullopt;
    unsigned char buffer[64 * 1024];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, in.get())) > 0) {
        if (EVP_DigestUpdate(context.get(), buffer, n) != 1) return std::nullopt;
    }
    if (std::ferror(in.get())) return std::nullopt;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return std::nullopt;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 0x0F];
    }
    return hex;
}

}  // namespace lumigrab::cli
