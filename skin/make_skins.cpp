// Writes the carried skins as files skin01.skn .. skin33.skn into the folder
// given as the one argument. Run by the build; the files are then embedded.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "skin/skin_format.h"
#include "skin/skin_table.h"

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    using namespace lumigrab::skin;
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_skins OUTPUT_FOLDER\n");
        return 2;
    }
    fs::path folder = argv[1];
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        std::fprintf(stderr, "make_skins: cannot create %s: %s\n", argv[1], ec.message().c_str());
        return 1;
    }
    auto skins = BuiltInSkins();
    for (std::size_t i = 0; i < skins.size(); ++i) {
        std::string bytes = SerialiseSkin(skins[i]);
        // A skin this program cannot read back must fail the build, not the start.
        auto back = ParseSkin({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
        if (!back || !(*back == skins[i])) {
            std::fprintf(stderr, "make_skins: skin %zu does not read back\n", i + 1);
            return 1;
        }
        char name[32];
        std::snprintf(name, sizeof name, "skin%02zu.skn", i + 1);
        fs::path target = folder / name;
        fs::path partial = folder / (std::string(name) + ".part");
        {
            std::ofstream out(partial, std::ios::binary | std::ios::trunc);
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            if (!out) {
                std::fprintf(stderr, "make_skins: cannot write %s\n", partial.c_str());
                return 1;
            }
        }
        fs::rename(partial, target, ec);
        if (ec) {
            std::fprintf(stderr, "make_skins: cannot rename to %s\n", target.c_str());
            return 1;
        }
    }
    return 0;
}
