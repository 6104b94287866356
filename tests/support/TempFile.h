#pragma once
// A file in the temp folder that is removed again when the test ends.

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Process.h"

namespace klink::test {

class TempFile {
public:
    TempFile(const std::vector<uint8_t>& bytes, const std::string& suffix) {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("klink_vgm_test_" + std::to_string(platform::CurrentProcessId()) + "_" +
                 std::to_string(counter++) + suffix);
        std::ofstream out(path_, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    ~TempFile() {
        std::error_code ec;
        std::filesystem::remove(path_, ec);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace klink::test
