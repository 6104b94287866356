#include <gtest/gtest.h>

#include <cerrno>

#include "common/Errors.h"

namespace {

TEST(Errors, EveryKindIsAnErrorCarryingItsMessage) {
    try {
        throw klink::WriteError("Serial output did not drain.");
    } catch (const klink::Error& e) {
        EXPECT_STREQ(e.what(), "Serial output did not drain.");
    }
}

TEST(Errors, OSErrorCarriesTheSystemText) {
    auto e = klink::OSError::FromErrno(ENOENT, "open /dev/none");
    EXPECT_EQ(e.Code(), ENOENT);
    EXPECT_STREQ(e.what(), "open /dev/none: No such file or directory");
}

}  // namespace
