#pragma once
// GD3 tag texts are UTF-16 as stored; this turns them into UTF-8 for output.

#include <string>
#include <string_view>

namespace klink {

// Converts UTF-16 code units to UTF-8. Surrogate pairs become one code point;
// a lone surrogate becomes U+FFFD (it has no UTF-8 form).
[[nodiscard]] std::string UTF16ToUTF8(std::u16string_view text);

}  // namespace klink
