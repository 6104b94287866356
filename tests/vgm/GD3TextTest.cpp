#include <gtest/gtest.h>

#include "vgm/GD3Text.h"

namespace klink {
namespace {

TEST(GD3Text, ConvertsUTF16ToUTF8) {
    struct Case {
        std::u16string in;
        std::string out;
    } cases[] = {
        {u"", ""},
        {u"abc\r\n", "abc\r\n"},
        {u"\u00E9", "\xC3\xA9"},
        {u"\u66F2", "\xE6\x9B\xB2"},
        {u"\U0001F3B5", "\xF0\x9F\x8E\xB5"},                            // surrogate pair
        {std::u16string(1, char16_t(0xD83C)), "\xEF\xBF\xBD"},          // lone high surrogate
        {std::u16string(1, char16_t(0xDFB5)) + u"x", "\xEF\xBF\xBDx"},  // lone low surrogate
        {std::u16string{char16_t(0xD83C), u'a'},
         "\xEF\xBF\xBD"
         "a"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UTF16ToUTF8(c.in), c.out);
    }
}

}  // namespace
}  // namespace klink
