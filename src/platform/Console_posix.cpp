#include <unistd.h>

#include "platform/Console.h"

namespace klink::platform {

bool StdoutIsTerminal() noexcept { return isatty(STDOUT_FILENO) == 1; }

}  // namespace klink::platform
