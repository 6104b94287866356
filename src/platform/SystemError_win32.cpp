// Windows error texts: FormatMessageW in the user's language, as UTF-8.
#include "common/Errors.h"
#include "platform/SystemError.h"
#include "platform/Win32Support.h"

namespace klink::platform {

namespace win32 {

void ThrowSystemError(DWORD code) {
    const int value = static_cast<int>(code);
    throw OSError(value, SystemErrorText(value));
}

}  // namespace win32

std::string SystemErrorText(int code) {
    wchar_t* buffer = nullptr;
    // The user's language, as every other program on the machine reports it.
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (length > 0 && buffer != nullptr) {
        text.assign(buffer, length);
    }
    if (buffer != nullptr) {
        LocalFree(buffer);
    }
    // The system's texts end with a line break (and some with a space).
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
        text.pop_back();
    }
    if (text.empty()) {
        return "Unknown error " + std::to_string(code);
    }
    return win32::Narrow(text);
}

}  // namespace klink::platform
