#pragma once
// Scratch folders and whole-file reads and writes for tests and benches.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace lumigrab::testing {

// A fresh folder under the system's temporary folder, removed with all it
// holds when the object goes. Throws std::runtime_error when none can be made.
class TempFolder {
public:
    explicit TempFolder(std::string_view prefix = "lumigrab-test");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }
    // Leaves the folder on disk (to look at after a failed run).
    void keep() { keep_ = true; }

private:
    std::filesystem::path path_;
    bool keep_ = false;
};

// The whole file; empty when it cannot be read.
std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path);
std::string ReadText(const std::filesystem::path& path);
// Replaces the file's content; false when it cannot be written.
bool WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

}  // namespace lumigrab::testing
