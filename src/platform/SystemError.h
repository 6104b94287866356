#pragma once
// The system's own text for an error code of the platform layer: the codes
// that OSError::code() and SerialWriteResult::Error carry, errno values on
// POSIX and Win32 error codes (GetLastError) on Windows.

#include <string>

namespace klink::platform {

// One line, without a trailing line break.
[[nodiscard]] std::string SystemErrorText(int code);

}  // namespace klink::platform
