#include "platform/Console.h"

#include <unistd.h>

namespace klink::platform {

bool StdoutIsTerminal() noexcept { return isatty(STDOUT_FILENO) == 1; }

}  // namespace klink::platform
