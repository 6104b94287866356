// UTF-8 <-> UTF-16 for the Windows backends.
#include "platform/Win32Support.h"

#include <climits>

namespace klink::platform {
namespace win32 {

std::wstring Widen(std::string_view utf8) {
    if (utf8.empty()) {
        return {};
    }
    if (utf8.size() > static_cast<std::size_t>(INT_MAX)) {
        ThrowSystemError(ERROR_INVALID_PARAMETER);
    }
    const int size = static_cast<int>(utf8.size());
    const int count = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
    if (count <= 0) {
        ThrowLastError();
    }
    std::wstring wide(static_cast<std::size_t>(count), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, wide.data(), count) != count) {
        ThrowLastError();
    }
    return wide;
}

std::string Narrow(std::wstring_view wide) {
    if (wide.empty() || wide.size() > static_cast<std::size_t>(INT_MAX)) {
        return {};
    }
    const int size = static_cast<int>(wide.size());
    const int count = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    if (count <= 0) {
        return {};
    }
    std::string utf8(static_cast<std::size_t>(count), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), count, nullptr, nullptr) != count) {
        return {};
    }
    return utf8;
}

}  // namespace win32

}  // namespace klink::platform
