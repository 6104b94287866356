#pragma once
// Checks that a call fails with one exact kind and message.

#include <gtest/gtest.h>

#include <string>

namespace klink::test {

template <class Kind, class Call>
void ExpectError(Call&& call, const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "no exception; expected \"" << message << "\"";
    } catch (const Kind& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
}

}  // namespace klink::test
