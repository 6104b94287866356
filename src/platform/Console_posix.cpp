#include <unistd.h>

#include "platform/Console.h"

namespace klink::platform {

bool StdoutIsTerminal() noexcept { return isatty(STDOUT_FILENO) == 1; }

void UseUtf8ConsoleOutput() noexcept {}

}  // namespace klink::platform
