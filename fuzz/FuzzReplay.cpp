// Replays a fuzz target's inputs without libFuzzer: every regular file in the
// directories (or the files) named on the command line, in name order. Used
// by the ordinary builds, so that the tests replay the committed corpora and
// crash reproducers with any compiler.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "FuzzSupport.h"

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg = argv[i];
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            for (const auto& entry : fs::directory_iterator(arg)) {
                // Dot files (.gitkeep) are not inputs.
                if (entry.is_regular_file() && entry.path().filename().string().rfind('.', 0) != 0) {
                    files.push_back(entry.path());
                }
            }
        } else if (fs::is_regular_file(arg, ec)) {
            files.push_back(arg);
        }
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        const std::vector<uint8_t> bytes = ReadFile(file);
        std::fprintf(stderr, "replay %s (%zu bytes)\n", file.string().c_str(), bytes.size());
        (void)LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("%zu inputs replayed\n", files.size());
    return 0;
}
