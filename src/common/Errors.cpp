#include "common/Errors.h"

#include <cstring>

namespace klink {

OSError OSError::FromErrno(int code, const std::string& context) {
    std::string text = std::strerror(code);
    if (context.empty()) {
        return OSError(code, text);
    }
    return OSError(code, context + ": " + text);
}

}  // namespace klink
