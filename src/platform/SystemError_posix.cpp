// POSIX error texts: strerror's, through the thread-safe generic category.
#include <system_error>

#include "platform/SystemError.h"

namespace klink::platform {

std::string SystemErrorText(int code) { return std::generic_category().message(code); }

}  // namespace klink::platform
