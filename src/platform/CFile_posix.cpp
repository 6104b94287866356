#include "platform/CFile.h"

namespace klink::platform {

std::FILE* OpenCFile(const std::filesystem::path& path, const char* mode) noexcept {
    return std::fopen(path.c_str(), mode);
}

}  // namespace klink::platform
