#pragma once
// What the Windows backends share: the Windows headers, UTF-8/UTF-16
// conversion, OSError from a Win32 error code, and OSHandle <-> HANDLE.
// Included only by *_win32.cpp files; nothing above src/platform sees it.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/OSHandle.h"

namespace klink::platform::win32 {

// UTF-8 to UTF-16. Throws OSError for bytes that are not UTF-8.
[[nodiscard]] std::wstring Widen(std::string_view utf8);
// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
[[nodiscard]] std::string Narrow(std::wstring_view wide);

// Throws OSError with the code and the system's text for it.
[[noreturn]] void ThrowSystemError(DWORD code);
[[noreturn]] inline void ThrowLastError() { ThrowSystemError(GetLastError()); }

// INVALID_HANDLE_VALUE has all bits set, as kInvalidOSHandle does.
[[nodiscard]] inline HANDLE ToHandle(OSHandle handle) noexcept {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle));
}
[[nodiscard]] inline OSHandle FromHandle(HANDLE handle) noexcept {
    return static_cast<OSHandle>(reinterpret_cast<std::uintptr_t>(handle));
}

// Closes a handle when it goes out of scope (files, not ports).
class UniqueHandle {
public:
    explicit UniqueHandle(HANDLE handle) noexcept : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() {
        if (Valid()) {
            CloseHandle(handle_);
        }
    }
    [[nodiscard]] HANDLE Get() const noexcept { return handle_; }
    [[nodiscard]] bool Valid() const noexcept {
        return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE;
    }
    // Closes now and reports a failure.
    void Close() {
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        if (!CloseHandle(handle)) {
            ThrowLastError();
        }
    }

private:
    HANDLE handle_;
};

}  // namespace klink::platform::win32
