#include <cerrno>

#include "platform/CFile.h"
#include "platform/Win32Support.h"

namespace klink::platform {

std::FILE* OpenCFile(const std::filesystem::path& path, const char* mode) noexcept {
    // Modes are a few ASCII letters.
    wchar_t wideMode[8] = {};
    for (std::size_t i = 0; mode[i] != '\0'; ++i) {
        if (i + 1 == std::size(wideMode)) {
            errno = EINVAL;
            return nullptr;
        }
        wideMode[i] = static_cast<wchar_t>(static_cast<unsigned char>(mode[i]));
    }
    return _wfopen(path.c_str(), wideMode);
}

}  // namespace klink::platform
