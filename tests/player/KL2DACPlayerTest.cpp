// The KL2 DAC path on simulated KL2 boards, with tiny generated files.
#include <gtest/gtest.h>

#include "PlayerTestSupport.h"

namespace klink::test {
namespace {}  // namespace
}  // namespace klink::test
