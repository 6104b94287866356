// The Windows console: a console handle answers GetConsoleMode; files,
// pipes and the NUL device do not.
#include "platform/Console.h"
#include "platform/Win32Support.h"

namespace klink::platform {

bool StdoutIsTerminal() noexcept {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return out != nullptr && out != INVALID_HANDLE_VALUE && GetFileType(out) == FILE_TYPE_CHAR &&
           GetConsoleMode(out, &mode) != 0;
}

void UseUtf8ConsoleOutput() noexcept {
    // Fails harmlessly when there is no console (output to a file or pipe).
    (void)SetConsoleOutputCP(CP_UTF8);
}

}  // namespace klink::platform
